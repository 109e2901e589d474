#include "platform/text.h"

#include <windows.h>

#include <vector>

std::string utf8_from_wide(const std::wstring& wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
  if (length <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(length) + 2, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), buffer.data(), length + 1, nullptr,
                      nullptr);
  return std::string(buffer.data());  // a zero character ends the text
}

std::wstring wide_from_utf8(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 2, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), buffer.data(), length + 1);
  return std::wstring(buffer.data());
}
