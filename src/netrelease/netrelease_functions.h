// The three stages of a run after the product is known: the block-verified
// download, the extraction into the setup folder, and the start of the
// setup program.
#pragma once

#include <string>

#include "netrelease/release_info.h"

// The download blob store's host, set once by the main flow.
extern std::wstring download_host;

// Lets the user choose a release and brings its archive, verified, to
// destination + filename. Throws DownloadException; lets AbortException pass.
void download_setup(const std::wstring& product, ReleaseInfo& release);

// Unpacks the archive into the setup folder, checking every file's digest.
bool extract_archive(const std::wstring& setup_folder, const ReleaseInfo& release);

// Starts the setup program the archive names for the language and bitness.
void run_start_command(const std::wstring& setup_folder, const ReleaseInfo& release);
