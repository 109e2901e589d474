// A user interface that answers like a user following a script, and
// remembers what it was shown.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "support/progress.h"

struct ProgressRecord {
  std::wstring caption;
  std::uint32_t max = 0;
  std::uint32_t position = 0;
  std::uint32_t steps = 0;  // every step, also those after a reset
  std::vector<std::wstring> captions;  // each caption set, in order
  platform::ProgressFigures figures;   // the last shown
};

class ScriptedUi : public platform::Ui {
 public:
  // Answers, used in order; a question without an answer left is cancelled.
  std::deque<std::optional<platform::VersionAnswer>> version_answers;
  std::deque<std::optional<int>> language_answers;
  std::deque<bool> yes_no_answers;

  // What the user was shown.
  std::vector<platform::VersionQuestion> version_questions;
  std::vector<std::pair<std::vector<std::wstring>, int>> language_questions;
  std::vector<std::pair<std::wstring, std::wstring>> yes_no_questions;  // text, caption
  std::vector<std::pair<std::string, std::wstring>> messages;          // text, caption
  std::vector<std::shared_ptr<ProgressRecord>> progress_windows;
  unsigned pumped = 0;

  bool ask_yes_no(const std::wstring& text, const std::wstring& caption) override;
  void show_message(const std::string& text, const std::wstring& caption) override;
  std::optional<platform::VersionAnswer> ask_version(const platform::VersionQuestion& question) override;
  std::optional<int> ask_language(const std::vector<std::wstring>& entries, int preselected) override;
  std::unique_ptr<platform::ProgressWindow> open_progress_window() override;
  void pump_messages(unsigned max_messages) override;
};

// Shorthand for a version answer: entry index, download only, destination.
platform::VersionAnswer choose(int index, bool download_only, const std::wstring& destination);

// A stage's progress as a test sees it.
struct RecordedProgress : Progress {
  std::uint32_t position = 0;
  std::uint64_t bytes = 0;
  unsigned restarts = 0;
  unsigned kept_alive = 0;
  void step(std::uint64_t unit_bytes) override {
    ++position;
    bytes += unit_bytes;
  }
  void restart() override {
    position = 0;
    bytes = 0;
    ++restarts;
  }
  void keep_alive() override { ++kept_alive; }
};
