// What the process needs from the platform before the launcher runs.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Initialises what the platform's services need for this thread (COM,
// Windows Sockets, common controls on Windows).
void initialise_process();

// The product identifier built into the program (string resource 10000 on
// Windows, the build setting elsewhere); empty when there is none.
std::wstring built_in_product();

}  // namespace platform
