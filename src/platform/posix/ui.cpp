// GTK windows when a display can be opened. SETUPLAUNCHER_UI=terminal asks
// for the terminal even on a display, so that scripts and tests can drive
// the launcher through its standard input.
#include "platform/ui.h"

#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "gtk_ui.h"
#include "platform/text.h"
#include "support/machine_text.h"

namespace platform {

namespace {
bool is_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}
}  // namespace

std::unique_ptr<Ui> make_window_ui() {
  const char* forced = std::getenv("SETUPLAUNCHER_UI");
  const bool terminal_wanted = forced != nullptr && std::strcmp(forced, "terminal") == 0;
  if (terminal_wanted || !(is_set("DISPLAY") || is_set("WAYLAND_DISPLAY"))) return nullptr;
  return make_gtk_ui();
}

bool standard_input_is_terminal() { return isatty(STDIN_FILENO) == 1; }
bool standard_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

namespace {
class StandardTerminal : public Terminal {
 public:
  std::optional<std::string> read_line() override {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
  }
  void write(const std::string& text) override { std::cerr << text << std::flush; }
};
}  // namespace

Terminal& standard_terminal() {
  static StandardTerminal terminal;
  return terminal;
}

std::uint16_t user_ui_language() {
  return ui_language_from_locale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::wstring downloads_folder() {
  // The XDG user folder, as the desktop's file manager shows it; without a
  // user-dirs configuration GLib knows none, and ~/Downloads is the usual place.
  if (const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD); folder != nullptr && *folder != '\0') {
    return wide_from_utf8(folder);
  }
  const char* home = g_get_home_dir();
  if (home == nullptr || *home == '\0') return {};
  std::string path = home;
  if (path.back() != '/') path += '/';
  return wide_from_utf8(path + "Downloads");
}

}  // namespace platform
