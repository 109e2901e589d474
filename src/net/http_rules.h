// The rules the transfer layer applies to an answer before it takes its
// body, and to a store in trouble before it sends again, as plain
// functions: which answer is the byte range asked for, which answers say
// "come back later", how long to wait, and what a Retry-After line asks for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A store that throttles or has an outage gets fewer and fewer attempts:
// waits drawn evenly between zero and a ceiling that starts at half a
// second and doubles up to half a minute ("full jitter", so that launchers
// that failed together do not come back together), and no more than two
// minutes of waiting in all for one request.
inline constexpr unsigned kBackoffFirstCeilingMs = 500;
inline constexpr unsigned kBackoffLastCeilingMs = 30'000;
inline constexpr unsigned kHttpWaitBudgetMs = 120'000;

// "bytes first-last/total" of a 206 answer; total is absent for "*".
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> total;
};
std::optional<ContentRange> parse_content_range(const std::string& value);

// The parts of an answer that say what its body is.
struct AnswerHead {
  int status = 0;
  std::string content_range;
  std::string content_length;
  std::string content_encoding;
};

// The body length of an answer to a request for bytes first..last
// (inclusive) that is that range: a 206 whose Content-Range starts at first
// and ends at last or at the object's end, or a 200 whose Content-Length
// says the whole object fits in the range (first 0). Empty for any other
// answer, and for an encoded one: a range counts the stored bytes.
std::optional<std::uint64_t> range_answer_length(std::uint64_t first, std::uint64_t last, const AnswerHead& answer);

// 408, 429 and 5xx: the store cannot answer now, rather than the request
// being wrong.
bool is_trouble_status(int status);

// The longest wait after the `earlier`-th failure in a row (0 for the first).
unsigned backoff_ceiling_ms(unsigned earlier);
// A wait drawn from 0 to backoff_ceiling_ms(earlier), random being any
// 32-bit value.
unsigned jittered_wait_ms(unsigned earlier, std::uint32_t random);

// Seconds since 1970 of an HTTP date in any of its three forms
// ("Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
// "Sun Nov  6 08:49:37 1994"); empty when the text is none of them.
std::optional<std::int64_t> parse_http_date(const std::string& text);
// What a Retry-After value asks for, in milliseconds: a number of seconds,
// or a date measured from now (seconds since 1970; a date in the past asks
// for no wait). Empty when the value is neither.
std::optional<std::uint64_t> retry_after_ms(const std::string& value, std::int64_t now);

// The waits of one request, which together stay within a budget.
class WaitBudget {
 public:
  explicit WaitBudget(unsigned budget_ms) : left_ms_(budget_ms) {}
  // The wait before the next attempt after `earlier` failures in a row: the
  // jittered wait, or what the store asked for when that is longer (never
  // beyond the last ceiling), cut to what is left of the budget. Empty once
  // the budget is spent.
  std::optional<unsigned> next(unsigned earlier, std::optional<std::uint64_t> asked_ms, std::uint32_t random);

 private:
  unsigned left_ms_;
};
