#include "release/update_stage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "release/block_download.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/hooks.h"
#include "support/log.h"

namespace {

constexpr char kLogSource[] = "netrelease_functions";

std::uint32_t unit_count(std::size_t count) {
  return static_cast<std::uint32_t>(std::min<std::size_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

std::wstring without_separator(std::wstring folder) {
  while (!folder.empty() && platform::is_path_separator(folder.back())) folder.pop_back();
  return folder;
}

// The publisher writes the two manifests first, one after the other: one
// request for both saves a round trip. Anything else (apart, or too large)
// is left to fetch_pinned_member.
void hold_manifests(RangedArchive& archive, const zip::ZipReader& reader, const std::vector<ByteSpan>& spans) {
  const std::optional<std::size_t> arcinfo = reader.locate(kArcInfoMember);
  const std::optional<std::size_t> arcconfig = reader.locate(kArcConfigMember);
  if (!arcinfo || !arcconfig || *arcinfo >= spans.size() || *arcconfig >= spans.size()) return;
  const ByteSpan& first = std::min(spans[*arcinfo], spans[*arcconfig], [](const ByteSpan& a, const ByteSpan& b) {
    return a.first < b.first;
  });
  const ByteSpan& second = &first == &spans[*arcinfo] ? spans[*arcconfig] : spans[*arcinfo];
  if (second.first < first.end || second.first - first.end > kRangeMergeGap) return;
  if (first.size() > kManifestSpanLimit || second.size() > kManifestSpanLimit) return;
  archive.hold({first.first, second.end});
}

struct SeedCopy {
  std::size_t member;
  std::string digest;
  std::uint64_t size;
  std::vector<std::wstring> candidates;  // cheapest first
};

// Copies seed files into the store on a thread of its own, in the given
// order: each content from the first candidate whose copy hashes to it.
class SeedCopier {
 public:
  SeedCopier(ContentStore& store, std::vector<SeedCopy> copies)
      : store_(store), copies_(std::move(copies)), thread_(&SeedCopier::run, this) {}
  ~SeedCopier() { stop(); }
  SeedCopier(const SeedCopier&) = delete;
  SeedCopier& operator=(const SeedCopier&) = delete;

  // The sizes of the contents copied since the last call.
  std::vector<std::uint64_t> take_copied() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(copied_, {});
  }
  // The members whose candidates all failed since the last call, in the
  // given order; once the copying is done and they are taken, nullopt.
  // Waits up to 50 ms for either.
  std::optional<std::vector<std::size_t>> take_unmatched() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return done_ || !unmatched_.empty(); });
    if (done_ && unmatched_.empty()) return std::nullopt;
    return std::exchange(unmatched_, {});
  }
  // Stops after the copy under way.
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    for (const SeedCopy& copy : copies_) {
      if (stopping_) break;
      bool found = false;
      for (const std::wstring& candidate : copy.candidates) {
        if ((found = store_.add_copy(candidate, copy.digest))) break;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (found) {
          copied_.push_back(copy.size);
        } else {
          unmatched_.push_back(copy.member);
        }
      }
      if (!found) changed_.notify_all();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
  }

  ContentStore& store_;
  const std::vector<SeedCopy> copies_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::vector<std::uint64_t> copied_;
  std::vector<std::size_t> unmatched_;
  std::thread thread_;  // last: started when everything above exists
};

}  // namespace

std::wstring folder_beside(const std::wstring& setup_folder, const wchar_t* suffix) {
  return without_separator(setup_folder) + suffix;
}

DifferentialUpdate::DifferentialUpdate(HostChain& store, const ReleaseInfo& release, std::wstring setup_folder)
    : release_(release),
      setup_folder_(std::move(setup_folder)),
      archive_(store, wide_from_utf8(release.containername + "/" + release.filename), release.filesize, {}) {}

DifferentialUpdate::~DifferentialUpdate() = default;

std::unique_ptr<DifferentialUpdate> DifferentialUpdate::plan(HostChain& store, const ReleaseInfo& release,
                                                             const std::wstring& product,
                                                             const std::wstring& setup_folder) {
  RouteFacts facts;
  facts.download_only = release.download_only;
  facts.archive_on_disk = platform::File(archive_path(release), platform::File::Mode::read).is_open();
  facts.manifests_pinned = is_content_name(release.arcinfo_sha256) && is_content_name(release.arcconfig_sha256);
  const std::vector<std::wstring> seeds = seed_folders(release.destination, product, release.version);
  facts.seed_folders = !seeds.empty();
  const std::string reason = full_download_reason(facts);
  if (!reason.empty()) {
    // Without an earlier release nothing was to be gained: no word about it.
    if (facts.seed_folders) write_log("Full download: " + reason, __LINE__, kLogSource);
    return nullptr;
  }

  std::unique_ptr<DifferentialUpdate> update(new DifferentialUpdate(store, release, setup_folder));
  update->seed_folders_ = seeds;
  const auto give_up = [](const std::string& why) {
    write_log("Full download: " + why, __LINE__, kLogSource);
    return nullptr;
  };
  zip::ZipReader& reader = update->reader_;
  if (!open_remote_directory(update->archive_, reader)) return give_up("the archive's directory cannot be read by range");
  for (std::size_t i = 0; i < reader.member_count(); ++i) {
    zip::MemberStat stat;
    if (!reader.stat(i, stat)) return give_up("the archive's directory cannot be read by range");
    update->members_.push_back(stat);
  }
  const std::string problem = directory_problem(update->members_, reader.directory_offset());
  if (!problem.empty()) return give_up(problem);
  update->spans_ = member_spans(update->members_, reader.directory_offset());

  hold_manifests(update->archive_, reader, update->spans_);
  const auto arcinfo = fetch_pinned_member(update->archive_, reader, update->members_, update->spans_,
                                           kArcInfoMember, release.arcinfo_sha256);
  const auto arcconfig = fetch_pinned_member(update->archive_, reader, update->members_, update->spans_,
                                             kArcConfigMember, release.arcconfig_sha256);
  if (!arcinfo || !arcconfig) return give_up("the archive's manifests do not match the release index");
  auto entries = parse_arcinfo(*arcinfo);
  if (!entries) return give_up(std::string(kArcInfoMember) + " lists more than a launcher takes");
  update->entries_ = std::move(*entries);
  update->start_commands_ = parse_arcconfig(*arcconfig);
  return update;
}

bool DifferentialUpdate::fetch(const ProgressOpener& open_progress) {
  std::map<std::string, std::uint64_t> sizes;  // of every content the manifest lists
  for (const ArcInfoEntry& entry : entries_) {
    const auto index = reader_.locate(entry.hash);
    if (!index) {
      write_log("Full download: " + entry.hash + " is not in the archive", __LINE__, kLogSource);
      return false;
    }
    sizes[entry.hash] = members_[*index].uncompressed_size;
  }
  std::uint64_t total = 0;
  for (const auto& [digest, size] : sizes) total += size;
  // The store takes every content, then the setup folder takes them over.
  const std::string space_problem = free_space_problem(release_.destination, total);
  if (!space_problem.empty()) {
    write_log("Full download: " + space_problem, __LINE__, kLogSource);
    return false;
  }
  // Every content once, in the archive's order.
  const auto order = missing_members(entries_, {}, members_);
  if (!order) {
    write_log("Full download: a content of the manifest is not in the archive", __LINE__, kLogSource);
    return false;
  }
  std::map<std::size_t, std::string> digest_of;                   // member -> content
  std::map<std::string, std::vector<std::string>> destinations;  // content -> all its places
  for (const ArcInfoEntry& entry : entries_) {
    digest_of[*reader_.locate(entry.hash)] = entry.hash;
    auto& places = destinations[entry.hash];
    places.insert(places.end(), entry.dst.begin(), entry.dst.end());
  }
  const SeedIndex seeds(seed_folders_);
  // A content that no seed file could be (none has its size) is fetched for
  // certain. When such contents are nearly the whole archive, ranges save
  // nothing, while the full download unpacks as it arrives and resumes.
  std::uint64_t certain = 0;
  std::map<std::size_t, std::vector<std::wstring>> candidates_of;  // member -> seed files that may be it
  for (const std::size_t index : *order) {
    const std::string& digest = digest_of[index];
    std::vector<std::wstring>& candidates = candidates_of[index];
    candidates = seeds.candidates(destinations[digest], sizes[digest]);
    if (candidates.empty()) certain += spans_[index].size();
  }
  if (certain > release_.filesize / 10 * 9) {
    write_log("Full download: no earlier setup folder holds most of the release", __LINE__, kLogSource);
    return false;
  }

  store_ = ContentStore::open(folder_beside(setup_folder_, kStoreFolderSuffix));
  if (!store_) {
    write_log("Full download: the staging folder cannot be opened", __LINE__, kLogSource);
    return false;
  }
  const auto progress = open_progress(L"download", unit_count(sizes.size()), total);
  const auto abandon = [this](const std::string& why) {
    write_log("Full download: " + why, __LINE__, kLogSource);
    store_->remove();
    store_.reset();
    return false;
  };

  // Contents that a seed may provide are copied on a thread of their own
  // while this one fetches those that no seed can provide: the copying and
  // the transfer overlap (the transfers move only while this thread reads
  // them). A content whose candidates all fail their digest is fetched as
  // soon as that is known.
  std::size_t seeded = 0;
  std::vector<std::size_t> missing;
  std::vector<SeedCopy> copies;
  for (const std::size_t index : *order) {
    const std::string& digest = digest_of[index];
    if (store_->holds(digest)) {
      ++seeded;
      progress->step(sizes[digest]);
      continue;
    }
    if (candidates_of[index].empty()) {
      missing.push_back(index);
    } else {
      copies.push_back({index, digest, sizes[digest], std::move(candidates_of[index])});
    }
  }
  SeedCopier copier(*store_, std::move(copies));
  const auto take_copied = [&] {
    for (const std::uint64_t size : copier.take_copied()) {
      ++seeded;
      progress->step(size);
    }
    progress->keep_alive();
  };
  std::string failed = fetch_members(missing, digest_of, *progress, take_copied);
  while (failed.empty()) {
    const std::optional<std::vector<std::size_t>> unmatched = copier.take_unmatched();
    take_copied();
    if (!unmatched) break;
    if (!unmatched->empty()) failed = fetch_members(*unmatched, digest_of, *progress, take_copied);
  }
  if (!failed.empty()) {
    copier.stop();
    return abandon("member " + failed + " did not arrive intact");
  }
  archive_.stream({});
  write_log("Differential update: " + std::to_string(archive_.fetched_bytes()) + " of the archive's " +
                std::to_string(release_.filesize) + " bytes fetched, " + std::to_string(seeded) + " of " +
                std::to_string(sizes.size()) + " contents taken from earlier setup folders",
            __LINE__, kLogSource);
  return true;
}

std::string DifferentialUpdate::fetch_members(const std::vector<std::size_t>& missing,
                                              const std::map<std::size_t, std::string>& digest_of, Progress& progress,
                                              const std::function<void()>& between) {
  std::vector<ByteSpan> spans;
  for (const std::size_t index : missing) spans.push_back(spans_[index]);
  archive_.stream(merge_spans(spans, kRangeMergeGap));
  for (std::size_t k = 0; k < missing.size(); ++k) {
    const std::size_t index = missing[k];
    between();
    if (fetch_member(index, digest_of.at(index), progress)) continue;
    // Asked for again alone, after a wait, as a damaged block is.
    bool fetched = false;
    for (unsigned attempt = 1; attempt < block_retry_limit && !fetched; ++attempt) {
      hooks().sleep_ms(block_retry_wait_ms);
      archive_.stream({spans_[index]});
      fetched = fetch_member(index, digest_of.at(index), progress);
    }
    if (!fetched) return members_[index].name;
    archive_.stream(merge_spans({spans.begin() + static_cast<std::ptrdiff_t>(k) + 1, spans.end()}, kRangeMergeGap));
  }
  return {};
}

bool DifferentialUpdate::fetch_member(std::size_t index, const std::string& digest, Progress& progress) {
  const zip::MemberStat& member = members_[index];
  const std::unique_ptr<ContentWriter> writer = store_->begin(digest);
  if (!writer) return false;
  const bool sound = reader_.extract(index, *writer);
  if (!writer->finish(sound)) return false;
  progress.step(member.uncompressed_size);
  return true;
}

bool DifferentialUpdate::place(const ProgressOpener& open_progress, ExtractedFiles& extracted) {
  StageTimer timer(L"extract", __LINE__, kLogSource);
  const std::wstring new_folder = folder_beside(setup_folder_, kNewSetupFolderSuffix);
  // What a run that broke off left there: the launcher's own, never a link.
  delete_tree(new_folder);
  bool placed = false;
  {
    platform::Folder folder = platform::Folder::make_fresh(new_folder);
    if (!folder.is_open()) {
      throw_logged(ZipException("Cannot make a new setup folder " + utf8_from_wide(new_folder) +
                                ": something has its name already, or its folder cannot be written"),
                   __LINE__, kLogSource);
    }
    std::uint64_t bytes = 0;
    for (const ArcInfoEntry& entry : entries_) bytes += store_->size_of(entry.hash);
    const auto progress = open_progress(L"extract", unit_count(entries_.size()), bytes);
    const UnixModeOf unix_mode = [this](const std::string& digest) -> std::optional<std::uint32_t> {
      const auto index = reader_.locate(digest);
      return index ? members_[*index].unix_mode : std::nullopt;
    };
    placed = place_contents(*store_, folder, entries_, unix_mode, *progress, extracted);
    // The folder closes here: Windows renames no folder with files held open in it.
  }
  if (!placed) {
    delete_tree(new_folder);
    return false;
  }
  if (!delete_tree(setup_folder_)) {
    throw_logged(ZipException("Cannot remove the old setup folder " + utf8_from_wide(setup_folder_) +
                              ". Close the programs that use it, then try again."),
                 __LINE__, kLogSource);
  }
  if (!platform::rename_folder(new_folder, without_separator(setup_folder_))) {
    throw_logged(ZipException("Cannot move the new setup folder " + utf8_from_wide(new_folder) + " to " +
                              utf8_from_wide(setup_folder_)),
                 __LINE__, kLogSource);
  }
  store_->remove();
  return true;
}
