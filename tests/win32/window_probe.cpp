// Waits for a top-level window with the given caption (in this Wine
// session), then prints its caption and each child control as
// "class id text", one per line, so a script can check a dialog as the user
// sees it without knowing how it was made.
// Usage: window_probe.exe CAPTION [SECONDS]   exit 1 when no such window appears
//        A caption ending in "*" matches every caption that starts with the rest.
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

// Asked of the window itself: GetWindowText would give only the text an
// edit or combo box of another process was created with.
std::wstring window_text(HWND window) {
  wchar_t buffer[1024] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 2000,
                           &copied)) {
    return {};
  }
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

struct Search {
  std::wstring prefix;
  HWND found = nullptr;
};

BOOL CALLBACK match_prefix(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  if (IsWindowVisible(window) && window_text(window).compare(0, search->prefix.size(), search->prefix) == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND find_window(const std::wstring& caption) {
  if (caption.empty() || caption.back() != L'*') return FindWindowW(nullptr, caption.c_str());
  Search search{caption.substr(0, caption.size() - 1)};
  EnumWindows(match_prefix, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_probe CAPTION [SECONDS]\n");
    return 2;
  }
  const int seconds = argc > 2 ? _wtoi(argv[2]) : 30;
  HWND window = nullptr;
  for (int waited = 0; waited < seconds * 10 && !(window = find_window(argv[1])); ++waited) Sleep(100);
  if (!window) {
    std::fprintf(stderr, "no window \"%s\"\n", utf8(argv[1]).c_str());
    return 1;
  }
  Sleep(300);  // let the dialog fill its controls
  std::printf("caption %s\n", utf8(window_text(window)).c_str());
  EnumChildWindows(window, print_child, 0);
  return 0;
}
