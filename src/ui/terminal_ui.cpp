#include "ui/terminal_ui.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/text.h"

namespace {

constexpr char kProgressCaption[] = "Fortschritt / Progress";
constexpr std::size_t kBarWidth = 30;

std::string trimmed(const std::string& line) {
  // Also drops the '\r' of input written with Windows line ends.
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = line.find_last_not_of(" \t\r\n");
  return line.substr(first, last - first + 1);
}

using ::printable;
std::string printable(const std::wstring& text, bool keep_line_breaks = false) {
  return printable(utf8_from_wide(text), keep_line_breaks);
}

std::optional<bool> parse_yes_no(const std::string& line) {
  const std::string answer = ascii_lower(line);
  if (answer.empty() || answer == "n" || answer == "no") return false;
  if (answer == "y" || answer == "yes") return true;
  return std::nullopt;
}

// 1-based number in 1..count; the empty line picks `preselected`.
std::optional<int> parse_list_number(const std::string& line, std::size_t count, int preselected) {
  if (line.empty()) return preselected;
  if (line.size() > 9 || !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const long number = std::stol(line);
  if (number < 1 || static_cast<std::size_t>(number) > count) return std::nullopt;
  return static_cast<int>(number - 1);
}

// "512 B", "1.5 KiB", "12.3 MiB", "1023.9 GiB".
std::string byte_text(std::uint64_t bytes) {
  constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

class TerminalProgressWindow : public platform::ProgressWindow {
 public:
  TerminalProgressWindow(platform::Terminal& terminal, bool redraw)
      : terminal_(terminal), redraw_(redraw), caption_(wide_from_utf8(kProgressCaption)) {}

  ~TerminalProgressWindow() override {
    if (redraw_ && drawn_ > 0) terminal_.write("\n");
  }

  std::wstring caption() const override { return caption_; }
  void set_caption(const std::wstring& caption) override {
    caption_ = caption;
    // The estimate changes with nearly every step; plain output shows it
    // with the next tenth instead of a line per change. With figures, their
    // own line shows it.
    if (redraw_ && !figures_) draw();
  }
  void set_range(std::uint32_t max) override {
    max_ = max;
    position_ = std::min(position_, max_);
    changed();
  }
  void step() override {
    // A bar past its end would suggest the work started over; it stays full.
    if (position_ < max_) ++position_;
    // With figures, the line waits for the figures of this step.
    if (!figures_) changed();
  }
  void set_position(std::uint32_t position) override {
    position_ = std::min(position, max_);
    if (figures_) figures_->bytes_done = 0;
    changed();
  }
  void show_figures(const platform::ProgressFigures& figures) override {
    figures_ = figures;
    changed();
  }

 private:
  // How far the work is, as that part of `scale`: by bytes where they are
  // known, else by units.
  std::uint64_t part_done(std::uint64_t scale) const {
    if (figures_ && figures_->bytes_total > 0) {
      // Divided first where the product could overflow (beyond 16 EiB / scale).
      const std::uint64_t done = std::min(figures_->bytes_done, figures_->bytes_total);
      const std::uint64_t total = figures_->bytes_total;
      return total > (std::uint64_t{1} << 40) ? done / (total / scale) : done * scale / total;
    }
    return max_ == 0 ? 0 : std::uint64_t{position_} * scale / max_;
  }

  std::string bar(std::size_t width) const {
    const auto filled = static_cast<std::size_t>(std::min<std::uint64_t>(part_done(width), width));
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
  }

  // As download tools show it: "download [###---------] 1.5 MiB / 4.0 MiB  2.1 MiB/s  ETA 00:00:02",
  // short enough for an 80-column terminal even with four-digit sizes and hours.
  std::string figures_line() const {
    const platform::ProgressFigures& f = *figures_;
    std::string stage = printable(f.stage);
    stage.resize(std::max<std::size_t>(stage.size(), 8), ' ');
    std::string text = stage + " " + bar(12) + " " + byte_text(f.bytes_done) + " / " +
                       byte_text(f.bytes_total);
    if (f.bytes_per_second > 0) text += "  " + byte_text(f.bytes_per_second) + "/s";
    if (f.seconds_left > 0) {
      char eta[32];
      std::snprintf(eta, sizeof eta, "  ETA %02u:%02u:%02u", f.seconds_left / 3600, (f.seconds_left % 3600) / 60,
                    f.seconds_left % 60);
      text += eta;
    }
    return text;
  }

  std::string line() const {
    if (figures_) return figures_line();
    return printable(caption_) + " " + bar(kBarWidth) + " " + std::to_string(position_) + "/" +
           std::to_string(max_);
  }

  void changed() {
    if (redraw_) return draw();
    const int tenth = static_cast<int>(part_done(10));
    if (tenth == last_tenth_) return;
    last_tenth_ = tenth;
    terminal_.write(line() + '\n');
  }

  void draw() {
    const std::string text = line();
    // Blank out what a longer line drew before.
    terminal_.write('\r' + text + std::string(drawn_ - std::min(drawn_, text.size()), ' '));
    drawn_ = std::max(drawn_, text.size());
  }

  platform::Terminal& terminal_;
  bool redraw_;
  std::wstring caption_;
  std::uint32_t max_ = 0;
  std::uint32_t position_ = 0;
  std::optional<platform::ProgressFigures> figures_;
  std::size_t drawn_ = 0;
  int last_tenth_ = -1;
};

}  // namespace

TerminalUi::TerminalUi(platform::Terminal& terminal, TerminalUiOptions options)
    : terminal_(terminal), options_(options) {}

template <class T>
std::optional<T> TerminalUi::ask(const std::string& prompt, const std::string& hint,
                                 const std::function<std::optional<T>(const std::string&)>& parse) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    terminal_.write(prompt);
    const std::optional<std::string> line = terminal_.read_line();
    if (!line) {
      terminal_.write("\nAbbrechen / Cancelled\n");
      return std::nullopt;
    }
    if (options_.echo_answers) terminal_.write(printable(trimmed(*line)) + '\n');
    if (auto value = parse(trimmed(*line))) return value;
    terminal_.write(hint + '\n');
  }
  terminal_.write("Abbrechen / Cancelled\n");
  return std::nullopt;
}

bool TerminalUi::ask_yes_no(const std::wstring& text, const std::wstring& caption) {
  terminal_.write(printable(caption) + '\n' + printable(text, true) + '\n');
  return ask<bool>("(y/n) [n]: ", "Please answer y or n.", parse_yes_no).value_or(false);
}

void TerminalUi::show_message(const std::string& text, const std::wstring& caption) {
  terminal_.write(printable(caption) + ": " + printable(text, true) + '\n');
}

std::optional<platform::VersionAnswer> TerminalUi::ask_version(const platform::VersionQuestion& question) {
  const std::size_t count = question.locked ? std::min<std::size_t>(question.entries.size(), 1)
                                            : question.entries.size();
  std::string list = "Select Version\n";
  for (std::size_t i = 0; i < question.entries.size(); ++i) {
    list += "  " + std::to_string(i + 1) + ") " + printable(question.entries[i]) + '\n';
  }
  terminal_.write(list);

  platform::VersionAnswer answer;
  const auto index = ask<int>("Version [1]: ",
                              count <= 1 ? "Only release 1 can be chosen."
                                         : "Please enter a number from 1 to " + std::to_string(count) + ".",
                              [count](const std::string& line) { return parse_list_number(line, count, 0); });
  if (!index) return std::nullopt;
  answer.selected_index = *index;

  const auto download_only =
      ask<bool>("Nur Download/Download only (y/n) [n]: ", "Please answer y or n.", parse_yes_no);
  if (!download_only) return std::nullopt;
  answer.download_only = *download_only;

  const std::string shown = printable(question.destination);
  // Without a destination the archive would land in whatever folder the
  // launcher was started from; an empty answer is only valid with a default.
  const auto destination = ask<std::wstring>(
      shown.empty() ? "Ziel/Destination: " : "Ziel/Destination [" + shown + "]: ",
      "Please enter the folder to download to.", [&question](const std::string& line) -> std::optional<std::wstring> {
        // A relative folder is taken from the current one, and the user is
        // told which folder that is.
        if (!line.empty()) return as_folder_path(platform::absolute_path(wide_from_utf8(line)));
        if (!question.destination.empty()) return question.destination;
        return std::nullopt;
      });
  if (!destination) return std::nullopt;
  terminal_.write("Ordner/Folder: " + printable(*destination) + '\n');
  answer.destination = *destination;
  return answer;
}

std::optional<int> TerminalUi::ask_language(const std::vector<std::wstring>& entries, int preselected) {
  std::string list =
      "Vorta Setup\n"
      "Bitte w\xC3\xA4hlen Sie Ihre Vorta Sprache / Please select the language of Vorta:\n";
  for (std::size_t i = 0; i < entries.size(); ++i) list += "  " + std::to_string(i + 1) + ") " + printable(entries[i]) + '\n';
  terminal_.write(list);
  const int shown = std::clamp(preselected, 0, std::max(0, static_cast<int>(entries.size()) - 1));
  return ask<int>("Sprache/Language [" + std::to_string(shown + 1) + "]: ",
                  "Please enter a number from 1 to " + std::to_string(entries.size()) + ".",
                  [&entries, shown](const std::string& line) { return parse_list_number(line, entries.size(), shown); });
}

std::unique_ptr<platform::ProgressWindow> TerminalUi::open_progress_window() {
  return std::make_unique<TerminalProgressWindow>(terminal_, options_.redraw_progress);
}

void TerminalUi::pump_messages(unsigned) {}

std::unique_ptr<platform::Ui> make_terminal_ui() {
  TerminalUiOptions options;
  options.redraw_progress = platform::standard_error_is_terminal();
  options.echo_answers = !platform::standard_input_is_terminal();
  return std::make_unique<TerminalUi>(platform::standard_terminal(), options);
}

std::unique_ptr<platform::Ui> make_user_interface() {
  if (auto windows = platform::make_window_ui()) return windows;
  return make_terminal_ui();
}
