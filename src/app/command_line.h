// The launcher's command line, for installs without questions: the options,
// the usage text, and the exit codes that tell a script how a run ended.
// Without arguments none of this applies: the launcher asks, and exits 0.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

struct LauncherOptions {
  bool help = false;
  bool version = false;
  bool list = false;
  bool json = false;
  std::optional<std::string> release;       // a release key, or "current"
  std::optional<std::wstring> destination;  // as given
  bool download_only = false;
  std::optional<std::string> language;  // "de" or "en"
  bool passive = false;                 // no questions; progress is shown
  bool quiet = false;                   // no questions, no window, no progress
  bool wait = false;

  bool asks_questions() const { return !passive && !quiet; }
};

// What keeps the launcher from following its command line, as the user is
// told: an option it does not know or that lacks its value, or (found only
// once the index is read) a release it does not offer.
struct UsageError {
  std::string message;
};

// GNU-style long options ("--name VALUE", "--name=VALUE"), "-h", and the
// Windows installers' "/quiet", "/passive" and "/?" (any letter case).
std::variant<LauncherOptions, UsageError> parse_command_line(const std::vector<std::wstring>& arguments);

// The text of --help, with the program's name and an example folder of the
// platform's kind.
std::string usage_text(const std::string& program, const std::string& example_folder);

// How a run with options ended.
enum class RunEnd { done, failed, bad_usage, cancelled };
struct RunResult {
  RunEnd end = RunEnd::done;
  std::string message;                 // failed, bad_usage: what the user is told
  std::optional<int> setup_exit_code;  // done: the setup program's, when the run waited for it
};

// 0 done, 1 failed, 2 bad usage, 3 cancelled; when the run waited for the
// setup program, that program's own exit code.
int exit_code(const RunResult& result);
