#include "support/names.h"

#include "support/text.h"

namespace {

template <class Char>
Char upper_ascii(Char c) {
  return c >= 'a' && c <= 'z' ? static_cast<Char>(c - 'a' + 'A') : c;
}

// Windows maps these to devices whatever the extension ("nul.txt" is NUL)
// and whatever blanks come before it.
template <class Char>
bool is_reserved_device_name(const std::basic_string<Char>& name) {
  std::basic_string<Char> stem = name.substr(0, name.find(Char('.')));
  while (!stem.empty() && stem.back() == Char(' ')) stem.pop_back();
  std::string upper;
  for (const Char c : stem) {
    if (c > 0x7F) return false;
    upper += static_cast<char>(upper_ascii(c));
  }
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == reserved) return true;
  }
  return upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
         upper[3] >= '1' && upper[3] <= '9';
}

bool is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Windows drops trailing dots and spaces from a name, so "..." and ".. "
// both mean the parent folder there.
bool is_only_dots_and_spaces(const std::wstring& name) {
  return name.find_first_not_of(L". ") == std::wstring::npos;
}

}  // namespace

std::string windows_name_problem(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name == "." || name == "..") return "is '" + name + "'";
  if (!is_valid_utf8(name)) return "is not valid UTF-8";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return "contains a control character";
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
