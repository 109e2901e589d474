#include "platform/shell.h"

#include <windows.h>
#include <shellapi.h>

namespace platform {

void shell_open(const std::wstring& target) {
  ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace platform
