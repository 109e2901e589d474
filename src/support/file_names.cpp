#include "support/file_names.h"

#include <cwctype>

#include "platform/text.h"

namespace {

bool is_reserved_device_name(const std::wstring& name) {
  // Windows maps these to devices whatever the extension: "nul.zip" is NUL.
  const std::wstring stem = name.substr(0, name.find(L'.'));
  std::wstring upper;
  for (wchar_t c : stem) upper += static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  while (!upper.empty() && upper.back() == L' ') upper.pop_back();
  if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL" || upper == L"CONIN$" ||
      upper == L"CONOUT$") {
    return true;
  }
  return upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
         upper[3] >= L'1' && upper[3] <= L'9';
}

bool is_refused_character(wchar_t c) {
  if (c < 0x20) return true;
  switch (c) {
    case L'<': case L'>': case L':': case L'"': case L'/': case L'\\': case L'|': case L'?': case L'*':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool is_safe_file_name(const std::wstring& name) {
  if (name.empty()) return false;
  for (wchar_t c : name) {
    if (is_refused_character(c)) return false;
  }
  if (name.back() == L'.' || name.back() == L' ') return false;
  return !is_reserved_device_name(name);
}

bool is_safe_file_name(const std::string& utf8_name) {
  if (utf8_name.find('\0') != std::string::npos) return false;
  return is_safe_file_name(wide_from_utf8(utf8_name));
}
