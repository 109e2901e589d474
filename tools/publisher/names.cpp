#include "names.h"

#include "support/names.h"
#include "support/text.h"

namespace publisher {

std::string release_key_problem(const std::string& key) {
  const std::string problem = windows_name_problem(key);
  if (!problem.empty()) return problem;
  bool digit_seen = false;
  for (const char c : key) {
    if (c >= '0' && c <= '9') {
      digit_seen = true;
    } else if (c == '.' && digit_seen) {
      digit_seen = false;
    } else {
      return "is not a version text such as 4.2.1 (digits separated by single dots)";
    }
  }
  if (!digit_seen) return "is not a version text such as 4.2.1 (digits separated by single dots)";
  if (key.size() > 40) return "is too long for a version text";
  return {};
}

std::string container_safe(const std::string& text) {
  std::string out;
  for (const char c : ascii_lower(text)) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum) {
      out += c;
    } else if (!out.empty() && out.back() != '-') {
      out += '-';
    }
  }
  if (out.size() > 63) out.resize(63);
  while (!out.empty() && out.back() == '-') out.pop_back();
  return out.size() < 3 ? std::string() : out;
}

}  // namespace publisher
