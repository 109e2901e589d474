#include "platform/shell.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <type_traits>

namespace platform {

namespace {
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ProcessHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;
}  // namespace

void shell_open(const std::wstring& target) {
  ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::optional<int> run_and_wait(const std::wstring& program) {
  const std::size_t separator = program.find_last_of(L"\\/");
  const std::wstring folder = separator == std::wstring::npos ? std::wstring() : program.substr(0, separator + 1);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // NOASYNC: the call returns only once the program is started, never on a
  // thread of the shell's own that our exit would cut short.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = program.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info) || info.hProcess == nullptr) return std::nullopt;
  const ProcessHandle process(info.hProcess);
  DWORD code = 0;
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &code)) {
    return std::nullopt;
  }
  return static_cast<int>(code);
}

}  // namespace platform
