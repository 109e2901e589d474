// The user interface on a text terminal, for machines without a display and
// for scripts that drive the launcher. Prompts, message boxes and the
// progress bar go to the terminal's output; answers come from its input,
// one per line, whether or not it is a terminal:
//   version dialog: three lines: the number of the release in the list shown
//     (1 = first; empty = the preselected one), download only (y/n, empty =
//     no), the destination folder (empty = the default shown);
//   language dialog: one line, 1 Deutsch or 2 English (empty = preselected);
//   Yes/No box: one line, y or n (empty = no);
//   OK box: no input.
// End of input, or an invalid line twice in a row, cancels the question.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui.h"

struct TerminalUiOptions {
  // The output is a terminal: the progress bar is one line redrawn in place.
  // Otherwise it prints a plain line at every tenth of the way.
  bool redraw_progress = false;
  // The input is not a terminal: each answer read is echoed after its
  // prompt, so a transcript shows what was answered.
  bool echo_answers = false;
};

class TerminalUi : public platform::Ui {
 public:
  explicit TerminalUi(platform::Terminal& terminal, TerminalUiOptions options = {});

  bool ask_yes_no(const std::wstring& text, const std::wstring& caption) override;
  void show_message(const std::string& text, const std::wstring& caption) override;
  std::optional<platform::VersionAnswer> ask_version(const platform::VersionQuestion& question) override;
  std::optional<int> ask_language(const std::vector<std::wstring>& entries, int preselected) override;
  std::unique_ptr<platform::ProgressWindow> open_progress_window() override;
  void pump_messages(unsigned max_messages) override;

 private:
  // Reads answers to one prompt until parse accepts one. Empty on end of
  // input or on the second invalid line in a row.
  template <class T>
  std::optional<T> ask(const std::string& prompt, const std::string& hint,
                       const std::function<std::optional<T>(const std::string&)>& parse);

  platform::Terminal& terminal_;
  TerminalUiOptions options_;
};

// The terminal on standard input and standard error.
std::unique_ptr<platform::Ui> make_terminal_ui();
// The platform's windows where they can be shown, else the terminal.
std::unique_ptr<platform::Ui> make_user_interface();
