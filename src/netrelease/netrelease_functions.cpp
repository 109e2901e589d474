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

// Kept inside this section so that the stages can grow side by side.
#include <algorithm>
#include <fstream>
#include <limits>
#include <vector>

#include "netrelease/block_download.h"
#include "netrelease/http.h"
#include "netrelease/release_index.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "support/hashing.h"
#include "telemetry/send_telemetry.h"

namespace {

// Brings the missing blocks of the chosen release into the archive file and
// returns the SHA-256 of the whole file, computed on the way.
std::string download_blocks(const ReleaseInfo& release, const std::vector<std::string>& digests,
                            std::uint64_t block_total) {
  HashObject whole_file(L"SHA256");
  ExtractionProgress progress;
  progress.append_caption(L"(download)");
  progress.set_max_progress(
      static_cast<std::uint32_t>(std::min<std::uint64_t>(block_total, std::numeric_limits<std::uint32_t>::max())));

  std::ofstream stream;
  std::uint64_t block = 0;
  if (!prepare_archive_file(release, release.destination, progress, digests, stream, block, &whole_file)) {
    throw_logged(DownloadException("Cannot open arc file"), __LINE__, kLogSource);
  }

  const std::wstring object = wide_from_utf8(release.containername + "/" + release.filename);
  std::string buffer;
  unsigned mismatches = 0;
  while (block < block_total) {
    const BlockRange range = block_range(block, release.blocksize);
    // One block in memory at a time; the last one is as long as what is left.
    buffer.clear();
    buffer.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(release.blocksize, release.filesize - static_cast<std::uint64_t>(range.first))));
    if (!download_to_string(download_host, object, &buffer, range.first, range.last, true,
                            download_port)) {
      throw_logged(DownloadException("Error during downloading archive"), __LINE__, kLogSource);
    }
    progress.step_progress();
    pump_messages(block_pump_budget);

    const std::string& expected = digests[static_cast<std::size_t>(block)];
    const std::string received = md5_hex(buffer);
    if (!received.empty() && received == expected) {
      stream.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      if (!stream.good()) throw_logged(DownloadException("Error during file write!"), __LINE__, kLogSource);
      whole_file.add(buffer.data(), buffer.size());
      ++block;
      mismatches = 0;
    } else if (++mismatches == block_retry_limit) {
      throw_logged(DownloadException(block_mismatch_report(block, expected, received, release.blocksize, buffer)),
                   __LINE__, kLogSource);
    } else {
      block_retry_wait(block_retry_wait_ms);
    }
  }
  // The digest stands for the bytes on disk only once they are all written.
  stream.close();
  if (stream.fail()) throw_logged(DownloadException("Error during file write!"), __LINE__, kLogSource);
  return whole_file.finish(true);
}

}  // namespace

void download_setup(const std::wstring& product, ReleaseInfo& release) {
  StageTimer timer(L"downloadSetup", __LINE__, kLogSource);
  const std::string product_text = utf8_from_wide(product);
  if (product_text.empty()) throw_logged(DownloadException("strProduct is empty"), __LINE__, kLogSource);

  const nlohmann::json index = fetch_release_index(product);
  if (index.is_null()) {
    throw_logged(DownloadException(product_text + " is not available for download"), __LINE__, kLogSource);
  }

  ReleaseInfo work;
  choose_release(index, work);
  if (!passes_launcher_gate(work.required_setup)) {
    throw_logged(DownloadException(product_text + " requires a newer downloader"), __LINE__, kLogSource);
  }
  // Before anything is written, or deleted by the main flow, in a folder
  // named after the index's texts.
  const std::string name_problem = release_name_problem(product_text, work);
  if (!name_problem.empty()) throw_logged(DownloadException(name_problem), __LINE__, kLogSource);

  send_telemetry(product, work.version, "begin", "0", static_cast<int>(launcher_version));

  std::vector<std::string> digests;
  if (!fetch_blockhash_list(digests, work)) {
    throw_logged(DownloadException("Cannot download blockhash file"), __LINE__, kLogSource);
  }
  if (is_download_complete(work, work.destination)) {
    release = work;
    return;
  }

  const std::string geometry_problem = block_geometry_problem(product_text, work);
  if (!geometry_problem.empty()) throw_logged(DownloadException(geometry_problem), __LINE__, kLogSource);
  const std::uint64_t block_total = block_count(work.filesize, work.blocksize);
  if (block_total != digests.size()) {
    throw_logged(DownloadException("Number of expected blockhashes does not match"), __LINE__, kLogSource);
  }

  const std::string digest = download_blocks(work, digests, block_total);
  if (digest.empty() || digest != work.hash) {
    throw_logged(DownloadException("Hash mismatch for downloaded file!"), __LINE__, kLogSource);
  }
  release = work;
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
