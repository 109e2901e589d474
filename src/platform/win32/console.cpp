#include "platform/console.h"

#include <windows.h>

#include "platform/text.h"

namespace platform {

namespace {

bool leads_somewhere(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

void write_to(DWORD which, const std::string& text) {
  const HANDLE handle = GetStdHandle(which);
  if (!leads_somewhere(handle)) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    // The console's code page is rarely UTF-8; its wide interface shows every character.
    const std::wstring wide = wide_from_utf8(text);
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else {
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

}  // namespace

bool connect_standard_streams() {
  const bool output = leads_somewhere(GetStdHandle(STD_OUTPUT_HANDLE));
  const bool error = leads_somewhere(GetStdHandle(STD_ERROR_HANDLE));
  // Redirected to a file or pipe (also by a command prompt): already there.
  if (output && error) return true;
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    // The handle becomes a standard handle of the process and lives as long
    // as the process does.
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (leads_somewhere(console)) {
      if (!output) SetStdHandle(STD_OUTPUT_HANDLE, console);
      if (!error) SetStdHandle(STD_ERROR_HANDLE, console);
    }
  }
  return leads_somewhere(GetStdHandle(STD_OUTPUT_HANDLE));
}

void write_standard_output(const std::string& text) { write_to(STD_OUTPUT_HANDLE, text); }
void write_standard_error(const std::string& text) { write_to(STD_ERROR_HANDLE, text); }

}  // namespace platform
