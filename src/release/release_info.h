// The record of the chosen release: its entry in the release index, its key,
// and what the user chose for it.
#pragma once

#include <string>

#include "formats/release_index.h"

struct ReleaseInfo : ReleaseEntry {
  std::string version;  // key of the release in the index
  bool download_only = false;
  std::wstring destination;  // ends in a separator
};

// One entry offered in the version dialog.
struct ReleaseChoice {
  std::string key;
  std::string display;
};

// destination followed by filename: where the archive is downloaded to,
// unpacked from and deleted at.
std::wstring archive_path(const ReleaseInfo& release);
