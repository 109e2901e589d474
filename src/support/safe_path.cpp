#include "support/safe_path.h"

#include <array>

namespace {

bool is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }

wchar_t upper_ascii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Windows drops trailing dots and spaces from a name, so "..." and ".. "
// both mean the parent folder there.
bool is_only_dots_and_spaces(const std::wstring& name) {
  for (wchar_t c : name) {
    if (c != L'.' && c != L' ') return false;
  }
  return true;
}

bool is_reserved_device_name(const std::wstring& component) {
  // The device wins whatever extension follows ("nul.txt" is NUL), and
  // trailing spaces before the extension do not matter either.
  std::wstring base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = upper_ascii(c);
  static const std::array<const wchar_t*, 6> plain = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* name : plain) {
    if (base == name) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0))
    return base[3] >= L'1' && base[3] <= L'9';
  return false;
}

}  // namespace

bool is_safe_relative_path(const std::wstring& path) {
  if (path.empty() || is_separator(path.front())) return false;
  if (path.find(L':') != std::wstring::npos) return false;

  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_separator(path[end])) ++end;
    const std::wstring component = path.substr(start, end - start);
    if (!component.empty() && component != L".") {
      if (is_only_dots_and_spaces(component) || is_reserved_device_name(component)) return false;
    }
    start = end + 1;
  }
  return true;
}
