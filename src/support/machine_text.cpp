#include "support/machine_text.h"

#include <cctype>

std::string machine_guid_error_text(long error, long last_error) {
  return "Cannot query, error: " + std::to_string(error) + " last error: " + std::to_string(last_error);
}

std::string guid_from_machine_id(const std::string& content) {
  std::string digits;
  for (const char c : content) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (c == '\n' || c == '\r' || c == ' ' || c == '\t') {
      if (!digits.empty() && digits.size() != 32) return {};
    } else {
      return {};
    }
  }
  if (digits.size() != 32) return {};
  return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" + digits.substr(16, 4) +
         "-" + digits.substr(20);
}

std::string uuid_v4_text(const unsigned char (&bytes)[16]) {
  static constexpr char kHex[] = "0123456789abcdef";
  unsigned char b[16];
  for (int i = 0; i < 16; ++i) b[i] = bytes[i];
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[b[i] >> 4];
    text += kHex[b[i] & 0x0F];
  }
  return text;
}

namespace {
bool read_number(const std::string& text, std::size_t& pos, unsigned long& value) {
  const std::size_t start = pos;
  value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) && pos - start < 9) {
    value = value * 10 + static_cast<unsigned long>(text[pos] - '0');
    ++pos;
  }
  return pos > start;
}
}  // namespace

bool kernel_version_numbers(const std::string& release, unsigned long& major, unsigned long& minor) {
  std::size_t pos = 0;
  major = minor = 0;
  if (!read_number(release, pos, major)) return false;
  if (pos < release.size() && release[pos] == '.') {
    ++pos;
    if (!read_number(release, pos, minor)) minor = 0;
  }
  return true;
}

LocaleNames locale_names_from_posix(const std::string& name) {
  LocaleNames names{kUnknownLocaleText, kUnknownLocaleText};
  // Strip ".codeset" and "@modifier".
  const std::string base = name.substr(0, name.find_first_of(".@"));
  if (base.empty() || base == "C" || base == "POSIX") return names;
  const auto underscore = base.find('_');
  const std::string language = base.substr(0, underscore);
  const std::string territory = underscore == std::string::npos ? std::string() : base.substr(underscore + 1);
  auto all_letters = [](const std::string& s) {
    if (s.empty()) return false;
    for (const char c : s)
      if (!std::isalpha(static_cast<unsigned char>(c))) return false;
    return true;
  };
  if (!all_letters(language)) return names;
  names.locale_sname = language;
  if (all_letters(territory) || (territory.size() == 3 && std::isdigit(static_cast<unsigned char>(territory[0])))) {
    names.locale_sname += "-" + territory;
    names.iso3166_country = territory;
  }
  return names;
}

std::uint16_t ui_language_from_locale(const char* lc_all, const char* lc_messages, const char* lang) {
  for (const char* name : {lc_all, lc_messages, lang}) {
    if (name == nullptr || *name == '\0') continue;
    return (name[0] == 'd' && name[1] == 'e') ? 0x0407 : 0x0409;
  }
  return 0x0409;
}
