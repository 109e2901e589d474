// The form of a path that the file functions of Windows take beyond MAX_PATH.
#pragma once

#include <string>

namespace platform::win32 {

// A long absolute path reaches the file functions in its extended form,
// which the MAX_PATH limit does not apply to (the manifest's longPathAware
// helps only where the system setting allows it too). That form is taken
// literally, so the path is made complete and normal first. Short,
// relative and already extended paths stay as they are.
std::wstring long_path(const std::wstring& path);

}  // namespace platform::win32
