// Stands in for a release's setup program in the end-to-end run: records how
// it was started (command line and working folder) in the file named by
// LAUNCHER_TEST_SETUP_MARKER, so the runner can tell that the launcher
// reached its last step, and exits with LAUNCHER_TEST_SETUP_EXIT_CODE (0
// without it), which a launcher started with --wait passes on.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);
  return out;
}

}  // namespace

int wmain() {
  const wchar_t* marker = _wgetenv(L"LAUNCHER_TEST_SETUP_MARKER");
  if (!marker) return 1;
  wchar_t folder[MAX_PATH * 4] = {};
  GetCurrentDirectoryW(MAX_PATH * 4, folder);
  FILE* out = _wfopen(marker, L"wb");
  if (!out) return 1;
  std::fprintf(out, "command line: %s\nfolder: %s\n", utf8(GetCommandLineW()).c_str(), utf8(folder).c_str());
  std::fclose(out);
  const wchar_t* exit_code = _wgetenv(L"LAUNCHER_TEST_SETUP_EXIT_CODE");
  return exit_code ? _wtoi(exit_code) : 0;
}
