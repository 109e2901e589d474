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
#include <future>
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

// Appends a checked block to the archive and to the whole-file digest; false
// when the write fails. Written in 1 MiB pieces: Linux copies one 4 MiB
// write into the page cache about three times slower than four 1 MiB ones.
bool keep_block(const std::string& bytes, std::ofstream& stream, HashObject& whole_file) {
  constexpr std::size_t kWritePiece = 1 << 20;
  for (std::size_t first = 0; first < bytes.size(); first += kWritePiece) {
    const std::size_t length = std::min(kWritePiece, bytes.size() - first);
    stream.write(bytes.data() + first, static_cast<std::streamsize>(length));
    if (!stream.good()) return false;
  }
  whole_file.add(bytes.data(), bytes.size());
  return true;
}

// The archive's block requests. The next block is asked for once half of
// the current one has arrived, on a connection of its own: the two transfers
// then share the link, and whenever one of them waits a round trip for its
// next answer, the other keeps the link busy. Asked for at the same moment,
// two blocks would end together, and the link would idle for a round trip
// after every pair. Each block lands straight in a buffer of its own, so the
// early transfer never pauses for lack of room (a paused sender restarts in
// slow start) and nothing is copied.
class BlockRequests {
 public:
  BlockRequests(const ReleaseInfo& release, std::uint64_t block_total)
      : object_(wide_from_utf8(release.containername + "/" + release.filename)),
        block_size_(release.blocksize),
        file_size_(release.filesize),
        block_total_(block_total) {}

  // Fetches block `index`; its bytes, or null when the transfer failed.
  // They stay untouched until block index + 2 is fetched: the buffer of
  // block i is taken again for block i + 3. Asking for another block than
  // the one expected next (after a block failed its check) drops the early
  // request: it would only idle through the pause.
  const std::string* fetch(std::uint64_t index) {
    std::unique_ptr<StartedRequest> request;
    if (ahead_ && ahead_index_ == index) request = std::move(ahead_);
    ahead_.reset();
    if (!request) request = start(index);
    current_ = index;
    // Half of it may have arrived while the block before was read.
    ask_ahead_from_half_way();
    return request->finish() ? &buffer_of(index) : nullptr;
  }

 private:
  // The block arriving, the one asked for ahead, and the one the caller
  // still writes.
  static constexpr std::size_t kBuffers = 3;

  std::string& buffer_of(std::uint64_t index) { return buffers_[static_cast<std::size_t>(index % kBuffers)]; }

  void ask_ahead_from_half_way() {
    if (ahead_ || current_ + 1 >= block_total_ || buffer_of(current_).size() < block_size_ / 2) return;
    ahead_index_ = current_ + 1;
    ahead_ = start(ahead_index_);
  }

  std::unique_ptr<StartedRequest> start(std::uint64_t index) {
    const BlockRange range = block_range(index, block_size_);
    // The last block is as long as what is left.
    std::string& buffer = buffer_of(index);
    buffer.clear();
    buffer.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(block_size_, file_size_ - static_cast<std::uint64_t>(range.first))));
    HttpRequest request;
    request.server = download_host;
    request.object_path = object_;
    request.secure = true;
    request.port = download_port;
    request.range_first = range.first;
    request.range_last = range.last;
    request.body_sink = &buffer;
    request.body_arrived = [this] { ask_ahead_from_half_way(); };
    return std::make_unique<StartedRequest>(std::move(request));
  }

  std::wstring object_;
  std::uint64_t block_size_;
  std::uint64_t file_size_;
  std::uint64_t block_total_;
  std::string buffers_[kBuffers];
  std::uint64_t current_ = 0;
  std::uint64_t ahead_index_ = 0;
  std::unique_ptr<StartedRequest> ahead_;
};

// Brings the missing blocks of the chosen release into the archive file and
// returns the SHA-256 of the whole file, computed on the way.
//
// A block that passed its check is written and hashed on a second thread
// while the next one is transferred, so the whole-file digest and the write
// cost no time of their own when a core is free. The check itself stays in
// line, since it decides whether the requests made ahead are kept.
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

  BlockRequests requests(release, block_total);
  // Declared after everything the writer uses: on any way out, the future's
  // destructor waits for a running write before those go away.
  std::future<bool> writing;
  const auto wait_for_write = [&writing] {
    if (writing.valid() && !writing.get()) {
      throw_logged(DownloadException("Error during file write!"), __LINE__, kLogSource);
    }
  };
  unsigned mismatches = 0;
  while (block < block_total) {
    const std::string* buffer = requests.fetch(block);
    if (!buffer) throw_logged(DownloadException("Error during downloading archive"), __LINE__, kLogSource);
    progress.step_progress();
    pump_messages(block_pump_budget);

    const std::string& expected = digests[static_cast<std::size_t>(block)];
    const std::string received = md5_hex(*buffer);
    if (!received.empty() && received == expected) {
      wait_for_write();
      writing = std::async(std::launch::async, keep_block, std::cref(*buffer), std::ref(stream), std::ref(whole_file));
      ++block;
      mismatches = 0;
    } else if (++mismatches == block_retry_limit) {
      throw_logged(DownloadException(block_mismatch_report(block, expected, received, release.blocksize, *buffer)),
                   __LINE__, kLogSource);
    } else {
      block_retry_wait(block_retry_wait_ms);
    }
  }
  wait_for_write();
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

#include <nlohmann/json.hpp>

#include "dialogs/languageselectiondlg.h"
#include "netrelease/archive_extraction.h"
#include "netrelease/process_functions.h"
#include "netrelease/start_command.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/safe_path.h"

bool extract_archive(const std::wstring& setup_folder, const ReleaseInfo& release) {
  StageTimer timer(L"extract", __LINE__, kLogSource);
  auto archive = open_archive(archive_path(release));
  if (!archive) return false;
  const bool result = extract_with_progress(*archive, setup_folder);
  close_archive(archive);
  return result;
}

std::vector<StartCommand> parse_arcconfig(const std::string& text) {
  std::vector<StartCommand> commands;
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object()) return commands;
  const auto list = document.find("startCommands");
  if (list == document.end() || !list->is_array()) return commands;
  const auto text_of = [](const nlohmann::json& element, const char* key) {
    if (!element.is_object()) return std::string();
    const auto value = element.find(key);
    return value != element.end() && value->is_string() ? value->get<std::string>() : std::string();
  };
  for (const auto& element : *list) {
    commands.push_back({text_of(element, "language"), text_of(element, "bitness"), text_of(element, "command"),
                        text_of(element, "arguments")});
  }
  return commands;
}

std::vector<StartCommand> read_arcconfig(const ArchiveHandle& archive) {
  return parse_arcconfig(read_small_member(archive, "arcconfig.json"));
}

StartCommand find_start_command(const std::vector<StartCommand>& commands, const std::string& language,
                                const std::string& bitness) {
  for (const StartCommand& command : commands) {
    if (command.language == language && command.bitness == bitness) return command;
  }
  return {};
}

StartCommand choose_start_command(const std::vector<StartCommand>& commands, bool is_64bit) {
  StartCommand chosen = find_start_command(commands, "*", "*");
  if (!chosen.command.empty()) return chosen;
  const std::string bitness = is_64bit ? "x64" : "x86";
  chosen = find_start_command(commands, "*", bitness);
  if (!chosen.command.empty()) return chosen;
  const std::string language = choose_language() == kLanguageGerman ? "de" : "en";
  return find_start_command(commands, language, bitness);
}

void run_start_command(const std::wstring& setup_folder, const ReleaseInfo& release) {
  auto archive = open_archive(archive_path(release));
  if (!archive) throw_logged(ZipException("Cannot open arc file"), __LINE__, kLogSource);
  const std::vector<StartCommand> commands = read_arcconfig(*archive);
  close_archive(archive);

  StartCommand chosen;
  try {
    chosen = choose_start_command(commands, platform::is_64bit_os());
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
    return;
  }

  // Without a command the setup folder itself is opened. A command that
  // would leave the setup folder comes from a damaged or forged archive:
  // nothing is started.
  const std::wstring command = wide_from_utf8(chosen.command);
  if (!command.empty() && !is_safe_relative_path(command)) {
    write_log("start command leaves the setup folder, nothing started: " + chosen.command, __LINE__, kLogSource);
    return;
  }
  const std::wstring path = setup_folder + to_native_separators(command);
  try {
    launch_file(path, true);
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
  }
}
