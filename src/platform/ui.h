// Everything the user sees: message boxes, the progress window, the two
// modal choices, and the message pump that keeps windows alive while a
// stage works on the one thread. The decisions around each window live in
// src/ui/; an implementation here only shows and asks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The amounts behind a progress bar, for a window that shows them beside
// it (the terminal's line); the windows show the bar and the caption only.
struct ProgressFigures {
  std::wstring stage;  // "download", "extract"
  std::uint64_t bytes_done = 0;
  std::uint64_t bytes_total = 0;
  std::uint64_t bytes_per_second = 0;  // 0: not known yet
  std::uint32_t seconds_left = 0;      // 0: no estimate, as the caption shows none
};

// The modeless progress window (caption "Fortschritt / Progress", one bar).
class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;
  virtual std::wstring caption() const = 0;
  virtual void set_caption(const std::wstring& caption) = 0;
  // Range 0..max, advanced in steps of one.
  virtual void set_range(std::uint32_t max) = 0;
  virtual void step() = 0;
  virtual void set_position(std::uint32_t position) = 0;
  virtual void show_figures(const ProgressFigures&) {}
};

struct VersionQuestion {
  std::vector<std::wstring> entries;  // display texts, in order; entry 0 preselected
  bool locked = false;                // the choice cannot be changed
  std::wstring destination;           // shown at the start; may be empty
  std::wstring picker_title;          // title of the folder picker behind "..."
};

struct VersionAnswer {
  int selected_index = -1;  // -1: the box reported no selection
  bool download_only = false;
  std::wstring destination;
};

class Ui {
 public:
  virtual ~Ui() = default;
  // Yes/No box; true for Yes.
  virtual bool ask_yes_no(const std::wstring& text, const std::wstring& caption) = 0;
  // OK box with narrow (UTF-8) text, as a failure's message carries it.
  virtual void show_message(const std::string& text, const std::wstring& caption) = 0;
  // Empty when the user cancels or the dialog cannot be shown.
  virtual std::optional<VersionAnswer> ask_version(const VersionQuestion& question) = 0;
  // entries in order, preselected index; the chosen index, empty on cancel.
  virtual std::optional<int> ask_language(const std::vector<std::wstring>& entries, int preselected) = 0;
  virtual std::unique_ptr<ProgressWindow> open_progress_window() = 0;
  // Dispatches at most max_messages pending window messages.
  virtual void pump_messages(unsigned max_messages) = 0;
};

// The platform's windows; null where none can be opened: on Linux without a
// display, or when the environment sets SETUPLAUNCHER_UI=terminal, which is
// how scripts drive the launcher. The caller then asks on the terminal.
std::unique_ptr<Ui> make_window_ui();
// Whether standard input and standard error are terminals rather than
// pipes or files.
bool standard_input_is_terminal();
bool standard_error_is_terminal();

// Where the terminal's questions are asked and answered, line by line.
class Terminal {
 public:
  virtual ~Terminal() = default;
  // The next line of input without its line end; empty at the end of input.
  virtual std::optional<std::string> read_line() = 0;
  // Shows the text at once.
  virtual void write(const std::string& text) = 0;
};
// Standard input and standard error. A Windows GUI program never asks on a
// terminal: there input ends at once and output goes nowhere, and the
// program carries no console streams.
Terminal& standard_terminal();

// The user's interface language as a Windows language id (primary language
// in the low 10 bits; German is 7).
std::uint16_t user_ui_language();
// The user's Downloads folder, without a trailing separator; empty when unknown.
std::wstring downloads_folder();

}  // namespace platform
