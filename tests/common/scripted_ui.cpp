#include "common/scripted_ui.h"

namespace {

class RecordingProgressWindow : public platform::ProgressWindow {
 public:
  explicit RecordingProgressWindow(std::shared_ptr<ProgressRecord> record) : record_(std::move(record)) {}
  std::wstring caption() const override { return record_->caption; }
  void set_caption(const std::wstring& caption) override {
    record_->caption = caption;
    record_->captions.push_back(caption);
  }
  void set_range(std::uint32_t max) override { record_->max = max; }
  void step() override {
    ++record_->position;
    ++record_->steps;
  }
  void set_position(std::uint32_t position) override { record_->position = position; }
  void show_figures(const platform::ProgressFigures& figures) override { record_->figures = figures; }

 private:
  std::shared_ptr<ProgressRecord> record_;
};

template <class T>
T take(std::deque<T>& answers, T fallback) {
  if (answers.empty()) return fallback;
  T answer = answers.front();
  answers.pop_front();
  return answer;
}

}  // namespace

bool ScriptedUi::ask_yes_no(const std::wstring& text, const std::wstring& caption) {
  yes_no_questions.emplace_back(text, caption);
  return take(yes_no_answers, false);
}

void ScriptedUi::show_message(const std::string& text, const std::wstring& caption) {
  messages.emplace_back(text, caption);
}

std::optional<platform::VersionAnswer> ScriptedUi::ask_version(const platform::VersionQuestion& question) {
  version_questions.push_back(question);
  return take(version_answers, std::optional<platform::VersionAnswer>());
}

std::optional<int> ScriptedUi::ask_language(const std::vector<std::wstring>& entries, int preselected) {
  language_questions.emplace_back(entries, preselected);
  return take(language_answers, std::optional<int>());
}

std::unique_ptr<platform::ProgressWindow> ScriptedUi::open_progress_window() {
  auto record = std::make_shared<ProgressRecord>();
  record->caption = L"Fortschritt / Progress";
  progress_windows.push_back(record);
  return std::make_unique<RecordingProgressWindow>(record);
}

void ScriptedUi::pump_messages(unsigned) { ++pumped; }

platform::VersionAnswer choose(int index, bool download_only, const std::wstring& destination) {
  platform::VersionAnswer answer;
  answer.selected_index = index;
  answer.download_only = download_only;
  answer.destination = destination;
  return answer;
}
