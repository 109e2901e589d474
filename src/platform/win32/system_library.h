// Functions of DLLs that Windows does not load from its known-DLL list are
// looked up here, from the system folder only. A static import would let a
// same-named DLL next to the launcher (the user's Downloads folder) be
// loaded in its place.
#pragma once

#include <windows.h>

namespace platform::win32 {

HMODULE load_system_library(const wchar_t* name);

// The named function of a system DLL, or null.
template <class Function>
Function system_function(const wchar_t* library, const char* name) {
  const HMODULE module = load_system_library(library);
  return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// Restricts the DLL search of this process to the system folder. Called
// first thing in the entry, before anything can load a DLL.
void restrict_dll_search();

}  // namespace platform::win32
