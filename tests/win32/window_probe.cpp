// Waits for a top-level window with the given caption (in this Wine
// session), then prints its caption and each child control as
// "class id text", one per line, so a script can check a dialog as the user
// sees it without knowing how it was made.
// Usage: window_probe.exe CAPTION [SECONDS]   exit 1 when no such window appears
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring window_text(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

// Line ends in a control's text would break the one-line-per-control form.
std::string one_line(std::string text) {
  for (auto& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

BOOL CALLBACK print_child(HWND child, LPARAM) {
  wchar_t class_name[256] = {};
  GetClassNameW(child, class_name, 256);
  std::printf("%s %d %s\n", utf8(class_name).c_str(), GetDlgCtrlID(child), one_line(utf8(window_text(child))).c_str());
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_probe CAPTION [SECONDS]\n");
    return 2;
  }
  const int seconds = argc > 2 ? _wtoi(argv[2]) : 30;
  HWND window = nullptr;
  for (int waited = 0; waited < seconds * 10 && !(window = FindWindowW(nullptr, argv[1])); ++waited) Sleep(100);
  if (!window) {
    std::fprintf(stderr, "no window \"%s\"\n", utf8(argv[1]).c_str());
    return 1;
  }
  Sleep(300);  // let the dialog fill its controls
  std::printf("caption %s\n", utf8(window_text(window)).c_str());
  EnumChildWindows(window, print_child, 0);
  return 0;
}
