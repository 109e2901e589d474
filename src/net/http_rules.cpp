#include "net/http_rules.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "support/text.h"

namespace {

// Digits only, and no more than a 64-bit count holds.
std::optional<std::uint64_t> parse_count(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(text);
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

}  // namespace

std::optional<ContentRange> parse_content_range(const std::string& value) {
  const std::string text = ascii_trim(value);
  if (text.compare(0, 6, "bytes ") != 0) return std::nullopt;
  const auto dash = text.find('-', 6);
  const auto slash = text.find('/', 6);
  if (dash == std::string::npos || slash == std::string::npos || dash > slash) return std::nullopt;
  const auto first = parse_count(text.substr(6, dash - 6));
  const auto last = parse_count(text.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  const std::string total = text.substr(slash + 1);
  if (total != "*") {
    range.total = parse_count(total);
    if (!range.total || *range.total <= *last) return std::nullopt;
  }
  return range;
}

std::optional<std::uint64_t> range_answer_length(std::uint64_t first, std::uint64_t last, const AnswerHead& answer) {
  const std::string encoding = ascii_lower(ascii_trim(answer.content_encoding));
  if (!encoding.empty() && encoding != "identity") return std::nullopt;
  const auto announced = parse_count(ascii_trim(answer.content_length));
  if (answer.status == 200) {
    // A server that ignored the range: acceptable only when what it sends is
    // no more than was asked for.
    if (first != 0 || !announced || *announced > last + 1) return std::nullopt;
    return announced;
  }
  if (answer.status != 206) return std::nullopt;
  const auto range = parse_content_range(answer.content_range);
  if (!range || range->first != first || range->last > last) return std::nullopt;
  // Shorter than asked only where the object ends.
  const bool whole = range->last == last || (range->total && range->last + 1 == *range->total);
  if (!whole) return std::nullopt;
  const std::uint64_t length = range->last - range->first + 1;
  if (announced && *announced != length) return std::nullopt;
  return length;
}

bool is_trouble_status(int status) { return status == 408 || status == 429 || (status >= 500 && status <= 599); }

unsigned backoff_ceiling_ms(unsigned earlier) {
  unsigned ceiling = kBackoffFirstCeilingMs;
  for (unsigned i = 0; i < earlier && ceiling < kBackoffLastCeilingMs; ++i) ceiling *= 2;
  return std::min(ceiling, kBackoffLastCeilingMs);
}

unsigned jittered_wait_ms(unsigned earlier, std::uint32_t random) {
  return static_cast<unsigned>(random % (static_cast<std::uint64_t>(backoff_ceiling_ms(earlier)) + 1));
}

std::optional<std::int64_t> parse_http_date(const std::string& text) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  // The three forms share their parts; only the order and the separators
  // differ. Words are split at blanks, commas and dashes.
  std::vector<std::string> words;
  std::string word;
  for (const char c : text + " ") {
    if (c == ' ' || c == ',' || c == '-' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
  }
  if (words.size() < 5 || words.size() > 6) return std::nullopt;
  int month = 0;
  std::optional<std::uint64_t> day, year;
  unsigned hour = 0, minute = 0, second = 0;
  bool have_time = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    const auto found = std::find_if(std::begin(kMonths), std::end(kMonths), [&w](const char* m) { return w == m; });
    if (found != std::end(kMonths)) {
      month = static_cast<int>(found - std::begin(kMonths)) + 1;
    } else if (w.size() == 8 && w[2] == ':' && w[5] == ':') {
      const auto h = parse_count(w.substr(0, 2)), m = parse_count(w.substr(3, 2)), s = parse_count(w.substr(6, 2));
      if (!h || !m || !s) return std::nullopt;
      hour = static_cast<unsigned>(*h), minute = static_cast<unsigned>(*m), second = static_cast<unsigned>(*s);
      have_time = true;
    } else if (w != "gmt") {
      // The day always comes before the year, and has one or two digits.
      const auto number = parse_count(w);
      if (!number || year) return std::nullopt;
      (w.size() <= 2 && !day ? day : year) = number;
    }
  }
  if (month == 0 || !day || !year || !have_time) return std::nullopt;
  // Two-digit years of the old form: 70 to 99 are the last century.
  std::uint64_t full_year = *year;
  if (full_year < 100) full_year += full_year >= 70 ? 1900 : 2000;
  if (full_year < 1970 || full_year > 9999 || *day < 1 || *day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return days_from_civil(static_cast<std::int64_t>(full_year), static_cast<unsigned>(month),
                         static_cast<unsigned>(*day)) *
             86400 +
         hour * 3600 + minute * 60 + second;
}

std::optional<std::uint64_t> retry_after_ms(const std::string& value, std::int64_t now) {
  const std::string text = ascii_trim(value);
  if (const auto seconds = parse_count(text)) {
    return *seconds > std::numeric_limits<std::uint64_t>::max() / 1000 ? std::numeric_limits<std::uint64_t>::max()
                                                                        : *seconds * 1000;
  }
  const auto date = parse_http_date(text);
  if (!date) return std::nullopt;
  return *date > now ? static_cast<std::uint64_t>(*date - now) * 1000 : 0;
}

std::optional<unsigned> WaitBudget::next(unsigned earlier, std::optional<std::uint64_t> asked_ms,
                                         std::uint32_t random) {
  if (left_ms_ == 0) return std::nullopt;
  unsigned wait = jittered_wait_ms(earlier, random);
  if (asked_ms) wait = std::max(wait, static_cast<unsigned>(std::min<std::uint64_t>(*asked_ms, kBackoffLastCeilingMs)));
  wait = std::min(wait, left_ms_);
  left_ms_ -= wait;
  return wait;
}
