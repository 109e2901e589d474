#include "names.h"

#include <cstdlib>
#include <sstream>

namespace publisher {

namespace {
bool ascii_equal_ignoring_case(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return i == a.size() && !b[i];
}

bool is_reserved_device_name(const std::string& name) {
  // Windows reserves these also with an extension ("nul.txt") and with
  // trailing blanks before the extension.
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* reserved : fixed)
    if (ascii_equal_ignoring_case(stem, reserved)) return true;
  if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9') {
    const std::string prefix = stem.substr(0, 3);
    if (ascii_equal_ignoring_case(prefix, "COM") || ascii_equal_ignoring_case(prefix, "LPT")) return true;
  }
  return false;
}
}  // namespace

bool is_valid_utf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t value = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      value = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    static const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < smallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string windows_name_problem(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name == "." || name == "..") return "is '" + name + "'";
  if (!is_valid_utf8(name)) return "is not valid UTF-8";
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return "contains a control character";
    if (c == '/' || c == '\\') return std::string("contains '") + c + "'";
    if (std::string("<>:\"|?*").find(c) != std::string::npos) {
      return std::string("contains '") + c + "', which Windows does not allow in file names";
    }
  }
  if (name.back() == '.' || name.back() == ' ') return "ends with a dot or a blank, which Windows drops";
  if (is_reserved_device_name(name)) return "is a reserved device name on Windows";
  if (name.size() > 255) return "is longer than 255 characters";
  return {};
}

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

std::string container_name_problem(const std::string& name) {
  if (name.size() < 3 || name.size() > 63) return "must have 3 to 63 characters";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-') return "may hold only lower-case letters, digits and hyphens";
    if (c == '-' && (i == 0 || i + 1 == name.size() || name[i - 1] == '-')) {
      return "must start and end with a letter or digit and not hold two hyphens in a row";
    }
  }
  return {};
}

std::string container_safe(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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

std::int64_t launcher_version_number(const std::string& key) {
  std::uint64_t value = 0;
  std::istringstream in(key);
  std::string part;
  while (std::getline(in, part, '.')) {
    value = value * 10 + static_cast<std::uint64_t>(static_cast<std::int64_t>(std::atoi(part.c_str())));
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace publisher
