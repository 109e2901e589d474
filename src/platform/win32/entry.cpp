#include <windows.h>

#include "core/setuplauncher.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return launcher_main(); }
