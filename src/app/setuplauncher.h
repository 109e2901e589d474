// The launcher from process entry to the end of its one run.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/answers.h"
#include "app/command_line.h"
#include "app/settings.h"
#include "archive/stream_unpack.h"
#include "platform/ui.h"
#include "release/release_info.h"
#include "release/update_stage.h"

// The product identifier's file-name part: the lower-cased name of the
// executable up to its last '.', or nothing when the path has no '.' after
// a separator.
std::optional<std::wstring> product_stem(const std::wstring& executable_path);
// Trailing, then leading white space removed.
std::wstring trim(const std::wstring& text);
// The built-in product (trimmed) when there is one, else the file-name stem,
// else empty; logs where it came from.
std::wstring identify_product(const std::wstring& built_in_product);
// Whether the product-matrix prompt is offered for this product.
bool names_product_family(const std::wstring& product);
std::wstring product_matrix_prompt(const std::string& matrix_url);
void offer_product_matrix(platform::Ui& ui, const std::wstring& product, const std::string& matrix_url);

// setup folder = destination folder + product + "." + version + separator
std::wstring setup_folder_for(const std::wstring& destination, const std::wstring& product, const std::string& version);
// Removes what an earlier run left in the setup folder; throws ZipException,
// naming the folder, when something stays.
void remove_old_setup_folder(const std::wstring& setup_folder);
// The staging store beside it: the setup folder's name + ".staging".
std::wstring staging_folder_for(const std::wstring& destination, const std::wstring& product,
                                const std::string& version);
// The release on the machine: its verified archive, or (the differential
// path, release/update_stage.h) its verified contents, ready to be placed.
struct Downloaded {
  ReleaseInfo release;
  std::unique_ptr<DifferentialUpdate> update;
};
// The download part of the run: the release chosen, with its archive
// verified on disk, or every content it lacks fetched. Sends "begin" once
// the release is accepted. With `unpacking`, an archive that is downloaded
// is unpacked into the staging store as it arrives, and *unpacking holds
// that work (null when the store cannot be opened).
Downloaded download_setup(const Settings& settings, const Answers& answers, const std::wstring& product,
                          std::unique_ptr<StreamingUnpack>* unpacking = nullptr);
// Chooses, downloads, unpacks and starts one release of the product.
RunResult run_main_flow(const Settings& settings, const Answers& answers, const std::wstring& product);

// The guarded region around the run: a failure's text goes to
// answers.show_failure, a user's abort only to the log.
RunResult run_launcher(const Settings& settings, const Answers& answers);
// The run without arguments: the user answers, a failure's text in one box
// captioned "Setup launcher". Always returns 0.
int launcher_main(const Settings& settings, platform::Ui& ui);

// Whether the release index must carry a valid signature before anything
// in it is used. No index keys are built in yet.
bool verifies_release_index(const Settings& settings);
// What --version prints: the launcher's version, the built-in product, the
// download host, and whether the release index is verified.
std::string version_text(const Settings& settings);
// The run with arguments (see app/command_line.h); returns the exit code.
int command_line_main(const Settings& settings, const std::vector<std::wstring>& arguments);
