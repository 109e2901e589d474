// Starting programs and opening documents without waiting for them.
#pragma once

#include <string>

namespace platform {

// Opens a file, folder or web address the way the desktop does ("open").
// On Linux an executable regular file is started itself, in its own folder
// and session; anything else goes to the desktop's opener. The result is
// not reported: the launcher does not watch what it starts.
void shell_open(const std::wstring& target);

}  // namespace platform
