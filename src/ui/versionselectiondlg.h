// The release choice: the offered releases (current first), the
// download-only box and the destination folder, which defaults to the
// user's Downloads folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "release/release_info.h"
#include "platform/ui.h"

// Title of the folder picker behind "...", by interface language.
std::wstring folder_picker_title(std::uint16_t language_id);
std::wstring folder_picker_title();

// What the dialog shows for the choices and the given Downloads folder.
platform::VersionQuestion version_question(const std::vector<ReleaseChoice>& choices,
                                           const std::wstring& downloads, std::uint16_t language_id);
// The entry OK yields: the selected one, or the preselected first one when
// the box reports no selection or one out of range.
std::size_t chosen_index(int selected_index, std::size_t choice_count);
// OK needs a destination: an empty one would download into whatever the
// current folder happens to be.
bool destination_accepted(const std::wstring& destination);

// What the user chose with OK.
struct VersionChoice {
  std::string key;  // of the release
  bool download_only = false;
  std::wstring destination;  // ends in a separator
};

// Shows the dialog with the given destination, or the user's Downloads
// folder; on any end but OK throws AbortException (after its log line).
VersionChoice choose_version(platform::Ui& ui, const std::vector<ReleaseChoice>& choices,
                             const std::wstring& destination);
VersionChoice choose_version(platform::Ui& ui, const std::vector<ReleaseChoice>& choices);
