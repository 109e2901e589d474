// Opens one of the launcher's windows through the real user interface and
// prints what it answered, so scripts can drive the windows with key presses
// or the terminal protocol through a pipe.
//   ui_driver version COUNT   choice among COUNT releases
//   ui_driver language
//   ui_driver yesno
//   ui_driver message
//   ui_driver progress COUNT STEPS SECONDS [STEP_MS]
//     shows the window, steps (STEP_MS apart), keeps it up for SECONDS
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "ui/extractionprogress.h"
#include "ui/languageselectiondlg.h"
#include "ui/versionselectiondlg.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "ui/terminal_ui.h"

namespace {

int usage() {
  std::fputs("usage: ui_driver version COUNT | language | yesno | message | progress COUNT STEPS SECONDS [STEP_MS]\n", stderr);
  return 2;
}

void answer(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int run(const std::vector<std::string>& args) {
  const std::string& what = args[0];
  const std::unique_ptr<platform::Ui> ui = make_user_interface();
  if (what == "version" && args.size() == 2) {
    std::vector<ReleaseChoice> choices;
    for (int i = 1; i <= std::atoi(args[1].c_str()); ++i) {
      choices.push_back({"key-" + std::to_string(i), "Release 2." + std::to_string(10 - i) + (i == 1 ? " (current)" : "")});
    }
    const VersionChoice choice = choose_version(*ui, choices);
    answer("key=" + choice.key + " download_only=" + (choice.download_only ? "1" : "0") +
           " destination=" + utf8_from_wide(choice.destination));
    return 0;
  }
  if (what == "language") {
    answer("language=" + std::to_string(choose_language(*ui)));
    return 0;
  }
  if (what == "yesno") {
    const bool yes = ui->ask_yes_no(
        L"Bitte prüfen Sie vorab, ob Sie die richtige Version für Ihren Arbeitsplatz ausgewählt haben. Möchten Sie den "
        L"Link öffnen?\nPlease check in advance whether you have selected the appropriate version for your "
        L"workstation. Would you like to navigate to this link?\nhttps://example.invalid/matrix.pdf",
        L"Download and install launcher");
    answer(yes ? "yes" : "no");
    return 0;
  }
  if (what == "message") {
    ui->show_message("Hash mismatch for downloaded file!", L"Setup launcher");
    answer("closed");
    return 0;
  }
  if (what == "progress" && (args.size() == 4 || args.size() == 5)) {
    const unsigned step_ms = args.size() == 5 ? static_cast<unsigned>(std::atoi(args[4].c_str())) : 0;
    ExtractionProgress progress(*ui);
    progress.append_caption(L"(download)");
    progress.set_max_progress(static_cast<std::uint32_t>(std::atoi(args[1].c_str())));
    const int steps = std::atoi(args[2].c_str());
    for (int i = 0; i < steps; ++i) {
      if (i > 0) platform::sleep_ms(step_ms);
      progress.step(0);
      progress.keep_alive();
    }
    const std::uint64_t until = platform::tick_count_ms() + 1000u * static_cast<unsigned>(std::atoi(args[3].c_str()));
    while (platform::tick_count_ms() < until) {
      progress.keep_alive();
      platform::sleep_ms(20);
    }
    answer("done");
    return 0;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  platform::initialise_process();
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const AbortException&) {
    answer("cancelled");
    return 0;
  }
}
