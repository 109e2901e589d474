#include <windows.h>

#include "core/setuplauncher.h"
#include "platform/win32/system_library.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::win32::restrict_dll_search();
  return launcher_main();
}
