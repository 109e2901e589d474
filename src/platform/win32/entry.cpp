#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "platform/entry.h"
#include "system_library.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::win32::restrict_dll_search();
  std::vector<std::wstring> arguments;
  int count = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) arguments.push_back(argv[i]);
    LocalFree(argv);
  }
  return program_main(arguments);
}

// The static C++ runtime ends an uncaught exception in a handler that
// prints the exception's demangled type to standard error, which a GUI
// program does not have, and links a 46 KB demangler for it into every
// user's download. Defined here, in the executable's own object rather than
// in a library, this one replaces it: the program ends as it would anyway.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
