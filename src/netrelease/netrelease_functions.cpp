#include "netrelease/netrelease_functions.h"

#include "core/exceptions.h"
#include "support/log.h"

namespace {
constexpr char kLogSource[] = "netrelease_functions";
}

std::wstring download_host;

// ---------------------------------------------------------------------------
// Download stage
// ---------------------------------------------------------------------------

void download_setup(const std::wstring&, ReleaseInfo&) {
  throw_logged(DownloadException("Error during downloading archive"), __LINE__, kLogSource);
}

// (end of the download stage)
//
//
//
//
//
//
//
//
//
//

// ---------------------------------------------------------------------------
// Extraction and start of the setup program
// ---------------------------------------------------------------------------

bool extract_archive(const std::wstring&, const ReleaseInfo&) { return false; }

void run_start_command(const std::wstring&, const ReleaseInfo&) {}
