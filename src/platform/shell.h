// Starting programs and opening documents.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Opens a file, folder or web address the way the desktop does ("open").
// On Linux an executable regular file is started itself, in its own folder
// and session; anything else goes to the desktop's opener. The result is
// not reported: the launcher does not watch what it starts.
void shell_open(const std::wstring& target);

// Starts a program in its own folder, as shell_open does, and waits until
// it ends. Its exit code (on Linux 128 + the signal that ended it), or empty
// when it could not be started or waited for.
std::optional<int> run_and_wait(const std::wstring& program);

}  // namespace platform
