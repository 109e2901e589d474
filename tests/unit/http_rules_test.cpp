// The transfer layer's rules as plain functions: which answer is the range
// asked for, how long a store in trouble is left alone, and which host the
// requests of a run go to.
#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "net/host_chain.h"
#include "net/http_rules.h"

namespace {

constexpr std::uint64_t kLast = 65535;  // a request for bytes 0-65535

}  // namespace

TEST(RangeAnswer, OnlyTheRangeAskedForWithItsLengthIsTaken) {
  struct Case {
    const char* what;
    std::uint64_t first;
    AnswerHead answer;
    std::optional<std::uint64_t> length;
  };
  const Case cases[] = {
      {"the range", 0, {206, "bytes 0-65535/200000", "65536", ""}, 65536},
      {"a later range", 65536, {206, "bytes 65536-131071/200000", "65536", ""}, 65536},
      {"cut where the object ends", 131072, {206, "bytes 131072-149999/150000", "", ""}, 18928},
      {"unknown total, whole range", 0, {206, "bytes 0-65535/*", "", ""}, 65536},
      {"blanks and identity encoding", 0, {206, " bytes 0-65535/70000 ", "65536", "Identity"}, 65536},
      {"whole object that fits", 0, {200, "", "1000", ""}, 1000},
      {"whole object exactly a block", 0, {200, "", "65536", ""}, 65536},
      {"whole object larger than the range", 0, {200, "", "655360", ""}, std::nullopt},
      {"whole object for a later range", 65536, {200, "", "1000", ""}, std::nullopt},
      {"whole object of unknown length", 0, {200, "", "", ""}, std::nullopt},
      {"another start", 0, {206, "bytes 1-65536/200000", "65536", ""}, std::nullopt},
      {"beyond the range", 0, {206, "bytes 0-65536/200000", "65537", ""}, std::nullopt},
      {"short before the end", 0, {206, "bytes 0-9/200000", "10", ""}, std::nullopt},
      {"short, total unknown", 0, {206, "bytes 0-9/*", "10", ""}, std::nullopt},
      {"length not the range's", 0, {206, "bytes 0-65535/200000", "655360", ""}, std::nullopt},
      {"no Content-Range", 0, {206, "", "65536", ""}, std::nullopt},
      {"encoded", 0, {206, "bytes 0-65535/200000", "1000", "gzip"}, std::nullopt},
      {"encoded whole object", 0, {200, "", "1000", "gzip"}, std::nullopt},
      {"not an answer with a body", 0, {302, "", "0", ""}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(range_answer_length(c.first, c.first + kLast, c.answer), c.length) << c.what;
  }
}

TEST(RangeAnswer, ContentRangeIsReadStrictly) {
  const auto range = parse_content_range("bytes 5-9/10");
  ASSERT_TRUE(range);
  EXPECT_EQ(range->first, 5u);
  EXPECT_EQ(range->last, 9u);
  EXPECT_EQ(range->total, 10u);
  EXPECT_FALSE(parse_content_range("bytes 5-9/*")->total);
  for (const char* bad : {"", "bytes", "bytes 5-9", "bytes 9-5/10", "bytes 5-10/10", "bytes -5-9/10", "items 5-9/10",
                          "bytes 5 -9/10", "bytes 5-9/1x", "bytes */10", "bytes 0-99999999999999999999/*"}) {
    EXPECT_FALSE(parse_content_range(bad)) << bad;
  }
}

TEST(Backoff, WaitsGrowToTheCeilingWithFullJitter) {
  const unsigned ceilings[] = {500, 1000, 2000, 4000, 8000, 16000, 30000, 30000};
  for (unsigned earlier = 0; earlier < std::size(ceilings); ++earlier) {
    EXPECT_EQ(backoff_ceiling_ms(earlier), ceilings[earlier]);
    EXPECT_EQ(jittered_wait_ms(earlier, 0), 0u);
    EXPECT_EQ(jittered_wait_ms(earlier, ceilings[earlier]), ceilings[earlier]);
    EXPECT_LE(jittered_wait_ms(earlier, 0xFFFFFFFFu), ceilings[earlier]);
  }
  EXPECT_EQ(backoff_ceiling_ms(1000), 30000u);
  EXPECT_TRUE(is_trouble_status(408) && is_trouble_status(429) && is_trouble_status(500) && is_trouble_status(503));
  EXPECT_FALSE(is_trouble_status(404) || is_trouble_status(302) || is_trouble_status(200) || is_trouble_status(0));
}

TEST(Backoff, TheBudgetEndsTheWaitsAndTheStoreMayAskForLonger) {
  // Every wait drawn at its ceiling: 0.5 + 1 + ... + 16 s, then 30 s twice,
  // then the 28.5 s that are left.
  WaitBudget budget(120'000);
  std::vector<unsigned> waits;
  for (unsigned earlier = 0;; ++earlier) {
    const auto wait = budget.next(earlier, std::nullopt, backoff_ceiling_ms(earlier));
    if (!wait) break;
    waits.push_back(*wait);
  }
  EXPECT_EQ(waits, (std::vector<unsigned>{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 28500}));

  WaitBudget asked(120'000);
  EXPECT_EQ(asked.next(0, 7000, 0), 7000u);   // longer than the jitter: what was asked
  EXPECT_EQ(asked.next(0, 100, 400), 400u);   // shorter: the jitter
  EXPECT_EQ(asked.next(0, 3'600'000, 0), 30000u);  // never beyond the ceiling
}

TEST(RetryAfter, SecondsOrAnHttpDateInAnyOfItsForms) {
  const std::int64_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT"), now);
  EXPECT_EQ(parse_http_date("Sunday, 06-Nov-94 08:49:37 GMT"), now);
  EXPECT_EQ(parse_http_date("Sun Nov  6 08:49:37 1994"), now);
  EXPECT_EQ(parse_http_date("Thu, 01 Jan 1970 00:00:00 GMT"), 0);
  EXPECT_EQ(parse_http_date("Tue, 29 Feb 2028 23:59:59 GMT"), 1835481599);
  for (const char* bad : {"", "soon", "Sun, 06 Nov 1994", "Sun, 06 Foo 1994 08:49:37 GMT", "Sun, 06 Nov 1994 8:49 GMT",
                          "Sun, 06 Nov 1994 08:49:37 GMT extra words"}) {
    EXPECT_FALSE(parse_http_date(bad)) << bad;
  }

  EXPECT_EQ(retry_after_ms("120", now), 120000u);
  EXPECT_EQ(retry_after_ms(" 0 ", now), 0u);
  EXPECT_EQ(retry_after_ms("Sun, 06 Nov 1994 08:50:07 GMT", now), 30000u);
  EXPECT_EQ(retry_after_ms("Sun, 06 Nov 1994 08:00:00 GMT", now), 0u);  // already past
  EXPECT_FALSE(retry_after_ms("-5", now));
  EXPECT_FALSE(retry_after_ms("1.5", now));
  EXPECT_FALSE(retry_after_ms("later", now));
}

TEST(HostChainRules, AHostIsLeftAfterThreeTroublesInARowAndTheLastIsKept) {
  HttpService first{L"cdn.example", 0, "", {}};
  HttpService second{L"origin.example", 8443, "", {}};
  HttpService third{L"spare.example", 0, "", {}};
  LogCapture log;
  HostChain chain(first, {second, third});
  EXPECT_FALSE(chain.note_trouble(0));
  EXPECT_FALSE(chain.note_trouble(0));
  chain.note_answer(0);  // an answer in between: no longer in a row
  EXPECT_FALSE(chain.note_trouble(0));
  EXPECT_FALSE(chain.note_trouble(0));
  EXPECT_TRUE(chain.note_trouble(0));
  EXPECT_EQ(chain.current(), 1u);
  EXPECT_FALSE(chain.note_trouble(0));  // late news from the host already left
  for (int i = 0; i < 3; ++i) chain.note_trouble(1);
  EXPECT_EQ(chain.current(), 2u);
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(chain.note_trouble(2));
  EXPECT_EQ(chain.current(), 2u);

  chain.note_served(2, L"c/setup.zip");
  chain.note_served(2, L"c/setup.zip");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("cdn.example failed 3 attempts in a row; going on with origin.example:8443"),
            std::string::npos);
  EXPECT_NE(lines[2].find("c/setup.zip served by spare.example"), std::string::npos);
}

TEST(HostChainRules, TheBuildsHostListKeepsOnlyHostsWithValidPorts) {
  HttpService like{L"", 0, "ca.pem", {}};
  like.timeouts.stall_seconds = 7;
  const auto hosts = services_from_host_list(" cdn.example.net , origin.blob.example:8443,,bad/host,x:99999,y:, z:12a", like);
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0].host, L"cdn.example.net");
  EXPECT_EQ(hosts[0].port, 0);
  EXPECT_EQ(hosts[1].host, L"origin.blob.example");
  EXPECT_EQ(hosts[1].port, 8443);
  EXPECT_EQ(hosts[1].ca_file, "ca.pem");
  EXPECT_EQ(hosts[1].timeouts.stall_seconds, 7);
  EXPECT_TRUE(services_from_host_list("", like).empty());
}
