// The record of the chosen release, filled from the release index and the
// version dialog, and the launcher's own version number.
#pragma once

#include <cstdint>
#include <string>

#include "build_settings.h"

inline constexpr std::uint64_t launcher_version = build_settings::launcher_version;

struct ReleaseInfo {
  std::string version;  // key of the release in the index
  std::string containername;
  std::string filename;
  std::string blockhash;
  std::uint64_t blocksize = 0;
  std::string hash;  // SHA-256 of the whole archive, lower-case hex
  std::uint64_t filesize = 0;
  std::uint64_t required_setup = 0;
  bool download_only = false;
  std::wstring destination;  // ends in a separator
};

// One entry offered in the version dialog.
struct ReleaseChoice {
  std::string key;
  std::string display;
};
