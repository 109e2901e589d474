// Where a run takes its answers from and where it shows how far it has
// come: the user, in the windows or on the terminal, or the options of the
// command line. The main flow asks only through this.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "archive/start_command.h"
#include "platform/ui.h"
#include "release/release_info.h"
#include "support/progress.h"
#include "ui/versionselectiondlg.h"

struct Answers {
  // Offers the product-matrix document before anything else.
  std::function<void(const std::wstring& product)> offer_product_matrix;
  // The release, the download-only choice and the destination. Throws
  // AbortException when the user cancels, UsageError when the options name
  // a release that is not offered.
  std::function<VersionChoice(const std::vector<ReleaseChoice>& choices)> choose_version;
  ProgressOpener progress;
  // The start stage, from the release's start commands to the started setup
  // program, which must be one of the files the extraction made.
  std::function<RunResult(const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                          const ExtractedFiles& extracted)>
      start;
  // Shows a failure's message where the user looks; the log has it already.
  std::function<void(const std::string& message)> show_failure;
};

// The user answers every question, as ever.
Answers user_answers(platform::Ui& ui, const std::string& matrix_url);
// The options answer; what they leave open is asked through ui, unless
// they ask for no questions. ui shows the progress; null with --quiet.
Answers option_answers(const LauncherOptions& options, platform::Ui* ui);

// The offered release that --release names ("current": the first one).
// Throws UsageError, with the offered releases, when there is none.
const ReleaseChoice& offered_release(const std::vector<ReleaseChoice>& choices, const std::string& key);
// The offered releases, one a line: "  KEY  DISPLAY", the current one marked.
std::string release_list_text(const std::vector<ReleaseChoice>& choices);
// The same as JSON: {"product": ..., "releases": [{"key", "display", "current"}, ...]}.
std::string release_list_json(const std::wstring& product, const std::vector<ReleaseChoice>& choices);

// The start stage with options: the setup program started, or waited for
// with --wait; without one, the setup folder is opened (unless --quiet)
// and the run failed, since nothing was installed.
RunResult start_with_options(const SetupProgram& program, const LauncherOptions& options);
