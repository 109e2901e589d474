#include <windows.h>
#include <shellapi.h>

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
