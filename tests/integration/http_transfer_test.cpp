// The transfer layer against the fault server: request shape, retries,
// broken and encoded bodies, hostile answers, a store in trouble, a second
// host, and refused certificates.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>

#include "common/fault_server.h"
#include "common/temp_dir.h"
#include "common/test_host.h"
#include "net/host_chain.h"
#include "net/http.h"
#include "platform/http.h"
#include "platform/text.h"
#include "support/hooks.h"

namespace {

std::ptrdiff_t position_of(const std::vector<std::string>& names, const std::string& name) {
  const auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? -1 : found - names.begin();
}

class HttpTransfer : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_FAULT_SERVER(server); }

  bool get(const std::string& path, std::string* out, std::int64_t first = 0, std::int64_t last = 0) {
    return download_to_string(server.service(), wide_from_utf8(path), out, first, last);
  }

  HttpRequest into_sink(const std::string& path, std::string* sink) {
    HttpRequest request;
    request.service = server.service();
    request.object_path = wide_from_utf8(path);
    request.body_sink = sink;
    return request;
  }

  unsigned total_wait() const { return std::accumulate(waits.begin(), waits.end(), 0u); }

  FaultServer server;
  // Waits are counted, never slept.
  std::vector<unsigned> waits;
  ScopedHook<std::function<void(unsigned)>> counted_waits{&Hooks::sleep_ms,
                                                          [this](unsigned milliseconds) { waits.push_back(milliseconds); }};
};

TEST_F(HttpTransfer, RangesAreInclusiveAndHeaderLinesKeepTheirOrder) {
  const std::string content = test_pattern(3 * 1048576);
  server.set_content("/archive.zip", content);
  struct Case {
    std::int64_t first, last;
    const char* range;  // expected Range value; empty: no Range line
    std::string expected;
  };
  const Case cases[] = {
      {0, 0, "", content},
      {1048576, 2097151, "bytes=1048576-2097151", content.substr(1048576, 1048576)},
      {0, 9, "bytes=0-9", content.substr(0, 10)},
      {5, 5, "bytes=5-5", content.substr(5, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range);
    server.reset();
    server.set_content("/archive.zip", content);
    std::string got;
    ASSERT_TRUE(get("/archive.zip", &got, c.first, c.last));
    EXPECT_TRUE(got == c.expected) << "got " << got.size() << " bytes";
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("Range"), c.range);
    // A range counts stored bytes: it is asked for without any encoding.
    EXPECT_EQ(requests[0].header("Accept-Encoding"), *c.range ? "" : "gzip, deflate");
  }
}

TEST_F(HttpTransfer, PathGetsExactlyOneLeadingSlashAndTheStringIsAppendedTo) {
  server.set_content("/c/index", "{}");
  std::string got = "kept:";
  ASSERT_TRUE(get("c/index", &got));
  ASSERT_TRUE(get("/c/index", &got));
  EXPECT_EQ(got, "kept:{}{}");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/c/index");
  EXPECT_EQ(requests[1].path, "/c/index");
}

TEST_F(HttpTransfer, StoreStyleHostNamesReachLoopback) {
  server.set_content("/c/index", "{}");
  std::string got;
  HttpService store_style = server.service();
  store_style.host = L"account.blob.localhost";
  EXPECT_TRUE(download_to_string(store_style, L"/c/index", &got));
  EXPECT_EQ(got, "{}");
}

TEST_F(HttpTransfer, ConsecutiveOperationsShareOneConnection) {
  server.set_content("/block", test_pattern(4096));
  std::string got;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(get("/block", &got, i * 1024, i * 1024 + 1023));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].client_port, requests[1].client_port);
  EXPECT_EQ(requests[1].client_port, requests[2].client_port);
}

TEST_F(HttpTransfer, ARangeTakesAWholeAnswerOnlyWhenTheObjectFitsInIt) {
  server.set_content("/whole", "0123456789");
  server.set_rule("/whole", {{"ignore_range", true}});
  std::string got;
  EXPECT_TRUE(get("/whole", &got, 0, 99));
  EXPECT_EQ(got, "0123456789");
  got.clear();
  EXPECT_FALSE(get("/whole", &got, 2, 4));
  EXPECT_EQ(got, "");
  EXPECT_EQ(server.requests().size(), 1u + kHttpAttemptLimit);
  EXPECT_TRUE(waits.empty());
}

TEST_F(HttpTransfer, EncodedBodiesAreDecodedWhileTheWindowsAreKeptAlive) {
  const std::string content = test_pattern(3 * 1048576 + 17);
  for (const char* encoding : {"gzip", "deflate"}) {
    SCOPED_TRACE(encoding);
    if (std::string(encoding) == "deflate") {
      SKIP_UNDER_WINE("its WinINet takes deflate for a raw stream, not the zlib stream HTTP names");
    }
    server.set_content("/encoded", content);
    server.set_rule("/encoded", {{"encoding", encoding}});
    std::string got;
    unsigned kept_alive = 0;
    HttpRequest request;
    request.service = server.service();
    request.object_path = L"/encoded";
    request.body_handler = append_to_string(&got);
    request.keep_alive = [&kept_alive] { ++kept_alive; };
    ASSERT_TRUE(send_request(std::move(request)));
    EXPECT_TRUE(got == content) << "got " << got.size() << " bytes";
    EXPECT_GT(kept_alive, 0u);
  }
}

TEST_F(HttpTransfer, BodyCutOffIsAFailureWithoutAnotherAttempt) {
  server.set_content("/cut", test_pattern(200000));
  for (const char* encoding : {"identity", "gzip"}) {
    SCOPED_TRACE(encoding);
    if (std::string(encoding) == "gzip") {
      SKIP_UNDER_WINE("its WinINet ends a cut gzip body as complete, and decoded bytes cannot be held "
                      "against the announced length");
    }
    server.set_rule("/cut", {{"cut_after", 65536}, {"encoding", encoding}});
    std::string got;
    EXPECT_FALSE(get("/cut", &got));
  }
  // A second attempt would hand the handler the same bytes again.
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HttpTransfer, HandlerFailureEndsAfterOneAttempt) {
  server.set_content("/doc", "text");
  int calls = 0;
  HttpRequest request;
  request.service = server.service();
  request.object_path = L"/doc";
  request.body_handler = [&calls](HttpBody&) {
    ++calls;
    return false;
  };
  const bool result = send_request(std::move(request));
  EXPECT_FALSE(result);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpTransfer, SinkHoldsOnlyTheAcceptedAnswer) {
  const std::string content = test_pattern(3 * 1048576 + 17);
  for (const char* encoding : {"identity", "gzip"}) {
    SCOPED_TRACE(encoding);
    server.reset();
    server.set_content("/block", content);
    // The refused answers' bodies arrive too, and must not stay.
    server.set_rule("/block", {{"fail_times", 2}, {"encoding", encoding}});
    std::string sink = "left from before";
    unsigned arrivals = 0;
    unsigned kept_alive = 0;
    HttpRequest request = into_sink("/block", &sink);
    request.body_arrived = [&arrivals] { ++arrivals; };
    request.keep_alive = [&kept_alive] { ++kept_alive; };
    EXPECT_TRUE(send_request(std::move(request)));
    EXPECT_TRUE(sink == content) << "got " << sink.size() << " bytes";
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_GT(arrivals, 0u);
    EXPECT_GT(kept_alive, 0u);
  }

  server.set_rule("/block", {{"cut_after", 65536}});
  std::string sink;
  EXPECT_FALSE(send_request(into_sink("/block", &sink)));
}

TEST_F(HttpTransfer, AnEarlyRequestReceivesItsBodyWhileAnotherIsAwaited) {
  SKIP_UNDER_WINE("WinINet hands a body out only as it is read");
  // More than a transfer holds for a reader before it pauses.
  const std::string content = test_pattern(3 * 1048576);
  server.set_content("/ahead", content);
  server.set_content("/slow", "late");
  server.set_rule("/slow", {{"stall_seconds", 1}, {"stall_before_headers", true}});
  std::string sink;
  StartedRequest early(into_sink("/ahead", &sink));

  std::string got;
  ASSERT_TRUE(get("/slow", &got));
  EXPECT_EQ(got, "late");
  // Nobody waited for the early answer, yet all of it is there.
  EXPECT_EQ(sink.size(), content.size());
  EXPECT_TRUE(early.finish());
  EXPECT_TRUE(sink == content);
}

TEST_F(HttpTransfer, EmptyServerOrPathSendsNothing) {
  server.set_content("/doc", "text");
  std::string got;
  HttpService no_host = server.service();
  no_host.host.clear();
  EXPECT_FALSE(download_to_string(no_host, L"/doc", &got));
  EXPECT_FALSE(download_to_string(server.service(), L"", &got));
  EXPECT_FALSE(http_post(server.service(), L"", {}, "x"));
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpTransfer, PostSendsItsBodyUnchangedAfterTheHeaderLines) {
  // Bytes that a text conversion or a form encoding would damage.
  const std::string body = std::string("{\"k\":\"\xC3\xA4\r\n\"}\0tail", 17) + test_pattern(5000);
  server.set_rule("/Tables", {{"status", 201}});
  ASSERT_TRUE(http_post(server.service(), L"Tables",
                        {L"Content-Type: application/json", L"x-ms-date: Tue, 08 Dec 2026 19:00:00 GMT",
                         L"Authorization: SharedKeyLite a:b"},
                        body));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/Tables");
  EXPECT_TRUE(requests[0].body == body);
  EXPECT_EQ(requests[0].header("Range"), "");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  const auto names = requests[0].header_names();
  const auto encoding = position_of(names, "Accept-Encoding");
  const auto type = position_of(names, "Content-Type");
  const auto date = position_of(names, "x-ms-date");
  const auto authorization = position_of(names, "Authorization");
  EXPECT_GE(encoding, 0);
  EXPECT_LT(encoding, type);
  EXPECT_LT(type, date);
  EXPECT_LT(date, authorization);
}

TEST_F(HttpTransfer, PostEndsAtOnceOnEveryAcceptingStatus) {
  for (int status : {200, 201, 204}) {
    SCOPED_TRACE(status);
    server.reset();
    server.set_rule("/Tables", {{"status", status}});
    EXPECT_TRUE(http_post(server.service(), L"/Tables", {}, "{}"));
    EXPECT_EQ(server.requests().size(), 1u);
  }
  // A GET still wants the body it asked for.
  server.reset();
  server.set_rule("/created", {{"status", 201}});
  std::string got;
  EXPECT_FALSE(get("/created", &got));
  EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kHttpAttemptLimit));
  EXPECT_TRUE(waits.empty());
}

TEST_F(HttpTransfer, PostWithoutBodyCarriesNone) {
  server.set_rule("/empty", {{"status", 201}});
  EXPECT_TRUE(http_post(server.service(), L"/empty", {}, ""));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[0].header("Content-Type"), "");
}

// A dead connection must end the attempt rather than hang; short limits
// stand in for the launcher's minute.
class StalledTransfer : public HttpTransfer {
 protected:
  void SetUp() override {
    SKIP_UNDER_WINE("WinINet keeps its own time-outs; the shortened ones bind only libcurl");
    HttpTransfer::SetUp();
  }
  bool get(const std::string& path, std::string* out) {
    HttpService quick = server.service();
    quick.timeouts.stall_seconds = 1;
    return download_to_string(quick, wide_from_utf8(path), out);
  }
};

TEST_F(StalledTransfer, SilenceBeforeTheAnswerIsSentAgain) {
  server.set_content("/index", "{}");
  server.set_rule("/index", {{"stall_seconds", 5}, {"stall_before_headers", true}, {"stall_times", 1}});
  std::string got;
  EXPECT_TRUE(get("/index", &got));
  EXPECT_EQ(got, "{}");
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(waits.size(), 1u);  // a time-out is trouble: the next attempt waits
}

TEST_F(StalledTransfer, SilenceInsideTheBodyFails) {
  server.set_content("/block", test_pattern(100000));
  server.set_rule("/block", {{"stall_seconds", 5}, {"cut_after", 1000}});
  std::string got;
  EXPECT_FALSE(get("/block", &got));
  EXPECT_EQ(server.requests().size(), 1u);
}

// Whatever a server or a proxy sends, a block request holds no more than
// the block, and a whole object no more than its cap.
class HostileAnswer : public HttpTransfer {
 protected:
  static constexpr std::size_t kBlockSize = 1 << 20;

  // A request for the first block of path; largest: the most its sink ever
  // held, looked at whenever more of the body arrived.
  bool fetch_block(const std::string& path, std::size_t* largest) {
    std::string sink;
    HttpRequest request = into_sink(path, &sink);
    request.range_first = 0;
    request.range_last = kBlockSize - 1;
    request.body_arrived = [&sink, largest] { *largest = std::max(*largest, sink.size()); };
    const bool result = send_request(std::move(request));
    *largest = std::max(*largest, sink.size());
    return result;
  }

  Fetched fetch_whole(const std::string& path, std::size_t limit, std::string* out) {
    HostChain hosts(server.service());
    return fetch_to_string(hosts, wide_from_utf8(path), limit, out);
  }
};

TEST_F(HostileAnswer, AnswersThatAreNotTheBlockAreRefusedBeforeTheirBody) {
  // Ten blocks' worth behind every answer.
  server.set_content("/archive", test_pattern(10 * kBlockSize));
  const std::pair<const char*, nlohmann::json> rules[] = {
      {"the whole object, ten times too long", {{"ignore_range", true}}},
      {"a body ten times longer than its range", {{"append_bytes", 9 * kBlockSize}}},
      {"another range", {{"content_range", "bytes 1-1048576/10485760"}}},
      {"a range cut short", {{"content_range", "bytes 0-99/10485760"}}},
      {"an encoded range", {{"encoding", "gzip"}}},
      {"a gzip bomb", {{"inflates_to", 256 << 20}}},
  };
  for (const auto& [what, rule] : rules) {
    SCOPED_TRACE(what);
    server.reset();
    server.set_content("/archive", test_pattern(10 * kBlockSize));
    server.set_rule("/archive", rule);
    std::size_t largest = 0;
    EXPECT_FALSE(fetch_block("/archive", &largest));
    EXPECT_LE(largest, kBlockSize);
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kHttpAttemptLimit));
  }
  EXPECT_TRUE(waits.empty());
}

TEST_F(HostileAnswer, AnEndlessBodyIsCutAtWhatTheRequestHoldsAndNotSentAgain) {
  server.set_content("/archive", test_pattern(2 * kBlockSize));
  server.set_rule("/archive", {{"endless", true}});
  std::size_t largest = 0;
  EXPECT_FALSE(fetch_block("/archive", &largest));
  EXPECT_LE(largest, kBlockSize);
  EXPECT_EQ(server.requests().size(), 1u);

  server.set_content("/index", "{}");
  server.set_rule("/index", {{"endless", true}});
  std::string text;
  EXPECT_EQ(fetch_whole("/index", 100000, &text), Fetched::too_long);
  EXPECT_LE(text.size(), 100000u);
}

TEST_F(HostileAnswer, AGzipBombInflatesOnlyToTheCap) {
  server.set_rule("/index", {{"inflates_to", 256 << 20}});
  std::string text;
  EXPECT_EQ(fetch_whole("/index", 1 << 20, &text), Fetched::too_long);
  EXPECT_LE(text.size(), 1u << 20);
  // Right at the cap it is taken.
  server.set_rule("/index", {{"inflates_to", 1 << 20}});
  text.clear();
  EXPECT_EQ(fetch_whole("/index", 1 << 20, &text), Fetched::whole);
  EXPECT_EQ(text, std::string(1 << 20, '\0'));
}

TEST_F(HostileAnswer, ARedirectIsNotFollowed) {
  server.set_content("/elsewhere", "code that would run");
  server.set_rule("/moved",
                  {{"location", "https://127.0.0.1:" + std::to_string(server.port()) + "/elsewhere"}});
  std::string got;
  EXPECT_FALSE(get("/moved", &got));
  EXPECT_EQ(got, "");
  const auto requests = server.requests();
  EXPECT_EQ(requests.size(), static_cast<std::size_t>(kHttpAttemptLimit));
  for (const auto& request : requests) EXPECT_EQ(request.path, "/moved");
}

TEST_F(HostileAnswer, ARangeComesBackAsTheServerSentIt) {
  // The platform's client decodes nothing it was not asked to.
  const std::string content = test_pattern(100000);
  server.set_content("/encoded", content);
  server.set_rule("/encoded", {{"encoding", "gzip"}});
  platform::HttpTarget target;
  target.server = FaultServer::host();
  target.port = server.port();
  target.path = "/encoded";
  target.ca_file = server.service().ca_file;
  target.decode = false;
  const auto exchange = platform::open_http_exchange(target);
  ASSERT_TRUE(exchange);
  ASSERT_EQ(exchange->send({"Range: bytes=0-99999"}, ""), platform::HttpFailure::none);
  EXPECT_EQ(exchange->status(), 206);
  EXPECT_EQ(exchange->header("content-encoding"), "gzip");
  EXPECT_EQ(exchange->header("Content-Range"), "bytes 0-99999/100000");
  std::string body;
  char buffer[65536];
  while (const std::size_t got = exchange->body().read(buffer, sizeof buffer)) body.append(buffer, got);
  EXPECT_FALSE(exchange->body().failed());
  ASSERT_GE(body.size(), 2u);
  EXPECT_EQ(body.substr(0, 2), "\x1f\x8b");
  EXPECT_NE(body, content);
}

// A store that throttles or has an outage is sent fewer and fewer attempts.
class StoreInTrouble : public HttpTransfer {};

TEST_F(StoreInTrouble, TroubleAnswersAreSentAgainAfterGrowingWaits) {
  for (int status : {408, 429, 500, 503}) {
    SCOPED_TRACE(status);
    server.reset();
    waits.clear();
    server.set_content("/index", "{}");
    server.set_rule("/index", {{"fail_times", 3}, {"fail_status", status}});
    std::string got;
    EXPECT_TRUE(get("/index", &got));
    EXPECT_EQ(got, "{}");
    EXPECT_EQ(server.requests().size(), 4u);
    ASSERT_EQ(waits.size(), 3u);
    for (unsigned i = 0; i < waits.size(); ++i) EXPECT_LE(waits[i], backoff_ceiling_ms(i)) << i;
  }
  // Any other answer is sent again at once, up to the attempt limit.
  server.reset();
  waits.clear();
  std::string got;
  EXPECT_FALSE(get("/missing", &got));
  EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kHttpAttemptLimit));
  EXPECT_TRUE(waits.empty());
}

TEST_F(StoreInTrouble, RetryAfterIsHonouredUpToTheCeiling) {
  const auto in_seconds = [](int seconds) {
    const std::time_t when = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + seconds;
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
    return std::string(text);
  };
  const std::pair<std::string, std::pair<unsigned, unsigned>> cases[] = {
      {"7", {7000, 7000}},
      {"3600", {30000, 30000}},
      {in_seconds(20), {18000, 22000}},  // measured from the answer's own date
      {"soon", {0, 500}},                // not a value: the usual wait
  };
  for (const auto& [value, bounds] : cases) {
    SCOPED_TRACE(value);
    server.reset();
    waits.clear();
    server.set_content("/index", "{}");
    server.set_rule("/index", {{"fail_times", 1}, {"fail_status", 503}, {"retry_after", value}});
    std::string got;
    EXPECT_TRUE(get("/index", &got));
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_GE(waits[0], bounds.first);
    EXPECT_LE(waits[0], bounds.second);
  }
}

TEST_F(StoreInTrouble, TwoMinutesOfWaitingEndTheRequest) {
  server.set_rule("/index", {{"fail_times", 100000}, {"fail_status", 503}});
  std::string got;
  EXPECT_FALSE(get("/index", &got));
  EXPECT_EQ(total_wait(), kHttpWaitBudgetMs);
  EXPECT_EQ(server.requests().size(), waits.size() + 1);
  for (unsigned wait : waits) EXPECT_LE(wait, kBackoffLastCeilingMs);

  // A host nobody answers on is waited for the same way.
  waits.clear();
  HttpService nobody = server.service();
  nobody.port = 1;
  EXPECT_FALSE(download_to_string(nobody, L"/index", &got));
  EXPECT_EQ(total_wait(), kHttpWaitBudgetMs);
  EXPECT_GT(waits.size(), 3u);
}

// Two stores for the same objects: a CDN in front, the origin behind it.
class TwoHosts : public HttpTransfer {
 protected:
  void SetUp() override {
    HttpTransfer::SetUp();
    SKIP_WITHOUT_FAULT_SERVER(second);
  }

  std::size_t requests_for(const FaultServer& host, const std::string& path) const {
    const auto requests = host.requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(),
                                                  [&path](const RecordedRequest& r) { return r.path == path; }));
  }

  FaultServer second{TestCertificate::trusted, 1};
  LogCapture log;
};

TEST_F(TwoHosts, AHostInTroubleIsLeftForTheRestOfTheRun) {
  for (const char* path : {"/index", "/list"}) {
    server.set_rule(path, {{"fail_times", 1000}, {"fail_status", 500}});
    second.set_content(path, std::string("from the second host: ") + path);
  }
  HostChain hosts(server.service(), {second.service()});
  std::string text;
  EXPECT_EQ(fetch_to_string(hosts, L"/index", 1000, &text), Fetched::whole);
  EXPECT_EQ(text, "from the second host: /index");
  EXPECT_EQ(requests_for(server, "/index"), kHostTroubleLimit);
  EXPECT_EQ(waits.size(), kHostTroubleLimit - 1);  // none before the first attempt at the next host
  // The next object goes straight to the host that served.
  text.clear();
  EXPECT_EQ(fetch_to_string(hosts, L"/list", 1000, &text), Fetched::whole);
  EXPECT_EQ(requests_for(server, "/list"), 0u);
  EXPECT_EQ(requests_for(second, "/list"), 1u);
  const std::string logged = log.text();
  EXPECT_NE(logged.find("failed 3 attempts in a row; going on with localhost:" + std::to_string(second.port())),
            std::string::npos);
  EXPECT_NE(logged.find("/index served by localhost:" + std::to_string(second.port())), std::string::npos);
}

TEST_F(TwoHosts, ADeadFirstHostCostsTwoShortWaits) {
  second.set_content("/index", "{}");
  HttpService dead = server.service();
  dead.port = 1;
  HostChain hosts(dead, {second.service()});
  std::string text;
  EXPECT_EQ(fetch_to_string(hosts, L"/index", 1000, &text), Fetched::whole);
  EXPECT_EQ(text, "{}");
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_LE(waits[0] + waits[1], backoff_ceiling_ms(0) + backoff_ceiling_ms(1));
}

TEST_F(TwoHosts, TheWaitsOverAllHostsStayWithinTheBudget) {
  server.set_rule("/index", {{"fail_times", 100000}, {"fail_status", 503}});
  second.set_rule("/index", {{"fail_times", 100000}, {"fail_status", 503}});
  HostChain hosts(server.service(), {second.service()});
  std::string text;
  EXPECT_EQ(fetch_to_string(hosts, L"/index", 1000, &text), Fetched::failed);
  EXPECT_EQ(total_wait(), kHttpWaitBudgetMs);
  EXPECT_EQ(requests_for(server, "/index"), kHostTroubleLimit);
  EXPECT_EQ(requests_for(server, "/index") + requests_for(second, "/index"), waits.size() + 2);
}

// The build's extra CA file (test and demo builds) stands for that CA alone:
// what it issued is taken, a certificate that copies its name and serial
// number is not.
TEST(ExtraCertificateAuthority, TrustsWhatItIssuedAndNothingThatCopiesIt) {
  for (const auto& [certificate, trusted] : {std::pair{TestCertificate::unknown_ca, true},
                                             std::pair{TestCertificate::forged_ca, false}}) {
    FaultServer server(certificate);
    SKIP_WITHOUT_FAULT_SERVER(server);
    server.set_content("/setup.zip", "code that would run");
    HttpService service = server.service();
    service.ca_file = FaultServer::untrusted_ca_file();
    // Another name of the server: WinINet keeps a connection it accepted
    // for its host name, and the tests of the same servers without this CA
    // use "localhost".
    service.host = L"account.blob.localhost";
    std::string got;
    EXPECT_EQ(download_to_string(service, L"/setup.zip", &got), trusted) << static_cast<int>(certificate);
    EXPECT_EQ(got, trusted ? "code that would run" : "");
  }
}

class RefusedCertificate : public ::testing::TestWithParam<TestCertificate> {};

TEST_P(RefusedCertificate, EndsTheOperationBeforeAnyRequest) {
  FaultServer server(GetParam());
  SKIP_WITHOUT_FAULT_SERVER(server);
  server.set_content("/setup.zip", "code that would run");
  bool handler_called = false;
  HttpRequest request;
  request.service = server.service();
  request.object_path = L"/setup.zip";
  request.body_handler = [&handler_called](HttpBody&) { return handler_called = true; };
  const bool result = send_request(std::move(request));
  EXPECT_FALSE(result);
  EXPECT_FALSE(handler_called);
  EXPECT_TRUE(server.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Certificates, RefusedCertificate,
                         ::testing::Values(TestCertificate::unknown_ca, TestCertificate::wrong_name,
                                           TestCertificate::expired, TestCertificate::forged_ca),
                         [](const ::testing::TestParamInfo<TestCertificate>& info) {
                           switch (info.param) {
                             case TestCertificate::unknown_ca:
                               return std::string("UnknownAuthority");
                             case TestCertificate::wrong_name:
                               return std::string("WrongName");
                             case TestCertificate::expired:
                               return std::string("Expired");
                             case TestCertificate::forged_ca:
                               return std::string("ForgedAuthority");
                             case TestCertificate::trusted:
                               break;
                           }
                           return std::string("Trusted");
                         });

}  // namespace
