#include "archive/stream_unpack.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "archive/member_stream.h"
#include "formats/archive_manifest.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/log.h"

namespace {

constexpr char kLogSource[] = "netrelease_functions";

// What spare copies made during the download may take in all: the manifest
// they follow is verified only with the archive, so a forged one must fill
// neither the disk nor the folder. Each spare counts at least
// kSpareBytesLeast, so there are at most 16,384 of them. The placement
// copies what goes beyond.
constexpr std::uint64_t kSpareBytesLimit = 1ull << 30;
constexpr std::uint64_t kSpareBytesLeast = 64u << 10;

// "arcinfo.json" as it streams past, held to the manifest's size limit.
class ManifestText : public zip::ChunkSink {
 public:
  char* room(std::size_t& size) override {
    size = sizeof(buffer_);
    return buffer_;
  }
  bool fill(std::size_t size) override {
    if (text.size() + size > kMaxManifestSize) return false;
    text.append(buffer_, size);
    return true;
  }
  std::string text;

 private:
  char buffer_[64 << 10];
};

// How many copies of each content a placement by the manifest makes besides
// the file it moves: every destination of every entry but one.
std::map<std::string, std::size_t> copies_wanted(const std::string& manifest) {
  std::map<std::string, std::size_t> wanted;
  const std::optional<std::vector<ArcInfoEntry>> entries = parse_arcinfo(manifest);
  if (!entries) return wanted;
  std::map<std::string, std::size_t> destinations;
  for (const ArcInfoEntry& entry : *entries) {
    std::set<std::string> distinct(entry.dst.begin(), entry.dst.end());
    destinations[entry.hash] += distinct.size();
  }
  for (const auto& [digest, count] : destinations) {
    if (count > 1) wanted[digest] = count - 1;
  }
  return wanted;
}

// Content members the store lacks go into it; the others (the manifests,
// contents it holds from an earlier run) are passed over. The reading thread
// inflates into a few buffers; a thread of this handler's writes them into
// the store and takes their SHA-256, so that inflating and writing overlap.
// "arcinfo.json", the first member, says which contents go to several
// places: the writing thread makes their spare copies as soon as they are
// stored, while the rest of the archive arrives, so that the placement after
// the download only moves files.
class StagingWriter : public zip::MemberHandler, public zip::ChunkSink {
 public:
  explicit StagingWriter(ContentStore& store) : store_(store) {
    for (std::size_t i = 0; i < kBuffers; ++i) {
      buffers_[i].reset(new char[kBufferSize]);
      free_.push_back(i);
    }
    thread_ = std::thread(&StagingWriter::run, this);
  }
  // Waits for what is queued: the last content is finished (or dropped, when
  // the reading stopped in it) before the store is used again.
  ~StagingWriter() {
    push({Job::Kind::stop, {}, 0, 0, false});
    thread_.join();
  }
  StagingWriter(const StagingWriter&) = delete;
  StagingWriter& operator=(const StagingWriter&) = delete;

  zip::ChunkSink* begin(const zip::LocalMember& member) override {
    if (member.name == kArcInfoMember && !manifest_read_) {
      manifest_ = std::make_unique<ManifestText>();
      return manifest_.get();
    }
    if (!is_content_name(member.name) || store_.holds(member.name)) return nullptr;
    push({Job::Kind::begin, member.name, 0, 0, false});
    return this;
  }
  // A content that does not match its name is not kept; the placement finds
  // it missing and the archive is unpacked as before, which reports it.
  bool end(bool sound) override {
    if (manifest_) {
      manifest_read_ = true;
      if (sound) {
        std::lock_guard<std::mutex> lock(mutex_);
        copies_ = copies_wanted(manifest_->text);
      }
      manifest_.reset();
      return true;
    }
    push({Job::Kind::end, {}, 0, 0, sound});
    return true;
  }
  char* room(std::size_t& size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (lent_ == kNone) {
      returned_.wait(lock, [this] { return !free_.empty(); });
      lent_ = free_.back();
      free_.pop_back();
    }
    size = kBufferSize;
    return buffers_[lent_].get();
  }
  bool fill(std::size_t size) override {
    std::size_t buffer = kNone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::swap(buffer, lent_);
    }
    push({Job::Kind::data, {}, buffer, size, false});
    return true;
  }

 private:
  struct Job {
    enum class Kind { begin, data, end, stop } kind;
    std::string digest;      // begin
    std::size_t buffer;      // data
    std::size_t size;        // data
    bool sound;              // end
  };
  static constexpr std::size_t kBuffers = 4;
  static constexpr std::size_t kBufferSize = 512u << 10;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  void push(Job job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    queued_.notify_one();
  }

  // After a content is stored: its spare copies, while the bytes they may
  // take last.
  void make_spares(const std::string& digest) {
    std::size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = copies_.find(digest);
      if (found != copies_.end()) count = found->second;
    }
    if (count == 0) return;
    const std::uint64_t cost = std::max(store_.size_of(digest), kSpareBytesLeast);
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, spare_room_ / cost));
    if (count == 0) return;
    spare_room_ -= cost * count;
    store_.make_spares(digest, count);
  }

  void run() {
    std::unique_ptr<ContentWriter> writer;
    std::string digest;
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      switch (job.kind) {
        case Job::Kind::begin:
          digest = job.digest;
          writer = store_.begin(digest);
          break;
        case Job::Kind::data:
          if (writer) writer->write(buffers_[job.buffer].get(), job.size);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            free_.push_back(job.buffer);
          }
          returned_.notify_one();
          break;
        case Job::Kind::end:
          if (writer && writer->finish(job.sound)) {
            writer.reset();
            make_spares(digest);
          }
          writer.reset();
          break;
        case Job::Kind::stop:
          return;
      }
    }
  }

  ContentStore& store_;
  std::unique_ptr<char[]> buffers_[kBuffers];
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable returned_;
  std::deque<Job> jobs_;
  std::vector<std::size_t> free_;
  std::size_t lent_ = kNone;
  std::unique_ptr<ManifestText> manifest_;  // the reading thread's
  bool manifest_read_ = false;              // the reading thread's
  std::map<std::string, std::size_t> copies_;  // under mutex_
  std::uint64_t spare_room_ = kSpareBytesLimit;  // the writing thread's
  std::thread thread_;  // last: started when everything above exists
};

}  // namespace

// The archive file as far as it is announced; read() waits for more.
class StreamingUnpack::Source : public zip::SequentialSource {
 public:
  explicit Source(std::wstring path) : path_(std::move(path)) {}

  std::size_t read(char* data, std::size_t size) override {
    std::uint64_t end = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || whole_ || available_ > position_; });
      if (stopping_ || available_ <= position_) return 0;
      end = available_;
    }
    // Opened once its first bytes are there: the download may make the
    // file afresh before that.
    if (!file_.is_open()) {
      file_ = platform::File(path_, platform::File::Mode::read_beside_writer);
      if (!file_.is_open() || !file_.seek(position_)) return 0;
    }
    const std::size_t got = file_.read(data, static_cast<std::size_t>(std::min<std::uint64_t>(size, end - position_)));
    position_ += got;
    return got;
  }

  void announce(std::uint64_t end, bool whole) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      available_ = std::max(available_, end);
      whole_ = whole_ || whole;
    }
    changed_.notify_all();
  }
  // Once the thread has ended: Windows removes no file that is open.
  void close_file() { file_.close(); }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::wstring path_;
  platform::File file_;         // the thread's
  std::uint64_t position_ = 0;  // the thread's
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t available_ = 0;
  bool whole_ = false;
  bool stopping_ = false;
};

StreamingUnpack::StreamingUnpack(std::wstring archive_path, std::unique_ptr<ContentStore> store)
    : archive_path_(std::move(archive_path)),
      store_(std::move(store)),
      source_(std::make_unique<Source>(archive_path_)),
      thread_(&StreamingUnpack::run, this) {}

StreamingUnpack::~StreamingUnpack() {
  source_->stop();
  if (thread_.joinable()) thread_.join();
}

void StreamingUnpack::run() {
  StagingWriter handler(*store_);
  streamed_ = zip::read_members(*source_, handler) == zip::StreamEnd::complete;
}

void StreamingUnpack::available(std::uint64_t end) { source_->announce(end, false); }

bool StreamingUnpack::finish(std::uint64_t size) {
  source_->announce(size, true);
  if (thread_.joinable()) thread_.join();
  source_->close_file();
  return streamed_;
}

namespace {

// Places the staged contents; empty when they cannot be (the archive or its
// manifest unreadable, a content missing), so that the archive is unpacked
// as before.
std::optional<bool> place_staged(ContentStore& store, const std::wstring& archive_path,
                                 const std::wstring& setup_folder, const ProgressOpener& open_progress,
                                 ExtractedFiles& extracted) {
  const auto archive = open_archive(archive_path);
  if (!archive) return std::nullopt;
  const std::optional<std::vector<ArcInfoEntry>> entries = read_arcinfo(*archive);
  if (!entries) return std::nullopt;
  std::uint64_t bytes = 0;
  std::uint64_t copied = 0;  // what the placement writes anew: every destination but a moved one
  std::map<std::string, std::uint64_t> sizes;
  for (const ArcInfoEntry& entry : *entries) {
    if (!store.holds(entry.hash)) {
      write_log("The staged contents lack " + entry.hash.substr(0, 80) + "; unpacking the archive instead", __LINE__,
                kLogSource);
      return std::nullopt;
    }
    const auto known = sizes.emplace(entry.hash, 0);
    if (known.second) known.first->second = store.size_of(entry.hash);
    const std::uint64_t size = known.first->second;
    bytes += size;
    copied += size * entry.dst.size();
  }
  // The moved file and the spare copies are on the disk already.
  for (const auto& content : sizes) {
    copied -= std::min(copied, content.second * (1 + store.spares_of(content.first)));
  }

  const std::string space_problem = free_space_problem(parent_folder(setup_folder), copied);
  if (!space_problem.empty()) throw_logged(ZipException(space_problem), __LINE__, kLogSource);
  platform::Folder folder = make_setup_folder(setup_folder);
  const auto progress = open_progress(
      L"extract",
      static_cast<std::uint32_t>(std::min<std::size_t>(entries->size(), std::numeric_limits<std::uint32_t>::max())),
      bytes);
  const UnixModeOf unix_mode = [&archive](const std::string& digest) -> std::optional<std::uint32_t> {
    zip::MemberStat stat;
    const auto index = archive->reader.locate(digest);
    if (!index || !archive->reader.stat(*index, stat)) return std::nullopt;
    return stat.unix_mode;
  };
  return place_contents(store, folder, *entries, unix_mode, *progress, extracted);
}

}  // namespace

bool unpack_release(StreamingUnpack* streamed, std::uint64_t archive_size, const std::wstring& archive_path,
                    const std::wstring& setup_folder, const ProgressOpener& open_progress, ExtractedFiles& extracted) {
  std::optional<bool> placed;
  if (streamed) {
    // From here on: what is left after the download, waiting for the last
    // members included.
    StageTimer timer(L"extract", __LINE__, kLogSource);
    if (streamed->finish(archive_size)) {
      placed = place_staged(streamed->store(), archive_path, setup_folder, open_progress, extracted);
    } else {
      write_log("The archive did not stream; unpacking it whole", __LINE__, kLogSource);
    }
  }
  if (!placed) placed = extract_archive(archive_path, setup_folder, open_progress, extracted);
  if (*placed && streamed) streamed->store().remove();
  return *placed;
}
