#include "platform/process.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <winsock2.h>

namespace platform {

void initialise_process() {
  CoInitialize(nullptr);  // the folder picker needs COM on this thread
  WSADATA sockets{};
  WSAStartup(MAKEWORD(1, 1), &sockets);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
}

std::wstring built_in_product() {
  // With a zero buffer size LoadStringW hands out the resource's own text.
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), 10000, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 && text ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

}  // namespace platform
