#include "archive/content_store.h"

#include <algorithm>
#include <set>
#include <utility>

#include "platform/text.h"
#include "support/files.h"
#include "support/names.h"

namespace {

constexpr std::size_t kWriteBuffer = 512u << 10;
constexpr std::size_t kCopyBuffer = 1u << 20;
constexpr wchar_t kPartialSuffix[] = L".part";

std::wstring content_file(const std::string& digest) { return wide_from_utf8(digest); }
std::wstring partial_file(const std::string& digest) { return wide_from_utf8(digest) + kPartialSuffix; }
std::wstring spare_file(const std::string& digest, std::size_t number) {
  return wide_from_utf8(digest) + L".spare" + std::to_wstring(number);
}

bool copy_rest(platform::File& from, platform::File& to, std::vector<char>& buffer) {
  buffer.resize(kCopyBuffer);
  for (std::size_t got; (got = from.read(buffer.data(), buffer.size())) > 0;) {
    if (!to.write(buffer.data(), got)) return false;
  }
  return true;
}

}  // namespace

bool is_content_name(const std::string& name) {
  return name.size() == 64 &&
         std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// ---- ContentWriter -------------------------------------------------------------

ContentWriter::ContentWriter(ContentStore& store, std::string digest, platform::File file)
    : store_(store), digest_(std::move(digest)), file_(std::move(file)) {}

ContentWriter::~ContentWriter() {
  if (finished_) return;
  file_.close();
  store_.folder_.remove_file(partial_file(digest_));
}

char* ContentWriter::room(std::size_t& size) {
  if (failed_) return nullptr;
  if (!buffer_) buffer_.reset(new char[kWriteBuffer]);
  size = kWriteBuffer;
  return buffer_.get();
}

bool ContentWriter::fill(std::size_t size) { return write(buffer_.get(), size); }

bool ContentWriter::write(const char* data, std::size_t size) {
  if (failed_) return false;
  if (!file_.write(data, size)) {
    failed_ = true;
    return false;
  }
  hash_.add(data, size);
  return true;
}

bool ContentWriter::finish(bool sound) {
  if (finished_) return false;
  finished_ = true;
  const std::optional<platform::FileIdentity> identity = file_.identity();
  const bool written = file_.close();
  const std::string digest = hash_.finish(true);
  platform::Folder& folder = store_.folder_;
  const std::wstring partial = partial_file(digest_);
  if (!sound || failed_ || !written || !identity || digest != digest_) {
    folder.remove_file(partial);
    return false;
  }
  if (store_.verified(digest_)) {
    folder.remove_file(partial);
    return true;
  }
  // Whatever has the name unverified (a file a run left half-checked) goes.
  folder.remove_file(content_file(digest_));
  if (!folder.move_file(partial, folder, content_file(digest_))) {
    folder.remove_file(partial);
    return false;
  }
  store_.remember(digest_, *identity);
  return true;
}

// ---- ContentStore --------------------------------------------------------------

std::unique_ptr<ContentStore> ContentStore::open(const std::wstring& folder) {
  platform::Folder opened = platform::Folder::open_or_make(folder);
  if (!opened.is_open()) return nullptr;
  return std::unique_ptr<ContentStore>(new ContentStore(folder, std::move(opened)));
}

bool ContentStore::holds(const std::string& digest) {
  if (!is_content_name(digest)) return false;
  if (verified(digest)) return true;
  // Update, not read: a file with a second name elsewhere is not opened.
  platform::File file = folder_.open_file(content_file(digest), platform::File::Mode::update);
  if (!file.is_open()) return false;
  const std::optional<platform::FileIdentity> identity = file.identity();
  if (identity && hash_file(file, L"SHA256") == digest) {
    remember(digest, *identity);
    return true;
  }
  file.close();
  folder_.remove_file(content_file(digest));
  return false;
}

std::uint64_t ContentStore::size_of(const std::string& digest) {
  if (!holds(digest)) return 0;
  return open_content(digest).size().value_or(0);
}

std::unique_ptr<ContentWriter> ContentStore::begin(const std::string& digest) {
  if (!is_content_name(digest)) return nullptr;
  folder_.remove_file(partial_file(digest));
  platform::File file = folder_.create_file(partial_file(digest));
  if (!file.is_open()) return nullptr;
  return std::unique_ptr<ContentWriter>(new ContentWriter(*this, digest, std::move(file)));
}

bool ContentStore::add_copy(const std::wstring& source_path, const std::string& digest) {
  platform::File source(source_path, platform::File::Mode::read);
  const std::unique_ptr<ContentWriter> writer = source.is_open() ? begin(digest) : nullptr;
  if (!writer) return false;
  std::vector<char> buffer(kCopyBuffer);
  for (std::size_t got; (got = source.read(buffer.data(), buffer.size())) > 0;) {
    if (!writer->write(buffer.data(), got)) return writer->finish(false);
  }
  return writer->finish(true);
}

platform::File ContentStore::open_content(const std::string& digest) {
  const std::optional<platform::FileIdentity> known = verified(digest);
  if (!known) return {};
  platform::File file = folder_.open_file(content_file(digest), platform::File::Mode::update);
  if (file.identity() != known) return {};
  return file;
}

bool ContentStore::move_out(const std::string& digest, platform::Folder& target, const std::wstring& target_relative) {
  const std::optional<platform::FileIdentity> known = verified(digest);
  if (!known) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    verified_.erase(digest);
  }
  return move_checked(content_file(digest), *known, target, target_relative);
}

bool ContentStore::make_spares(const std::string& digest, std::size_t count) {
  platform::File content = open_content(digest);
  if (!content.is_open()) return false;
  std::vector<char> buffer;
  for (std::size_t made = 0; made < count; ++made) {
    const std::size_t number = spares_of(digest);
    const std::wstring name = spare_file(digest, number);
    // A spare a killed run left is not the copy made now.
    folder_.remove_file(name);
    platform::File spare = folder_.create_file(name);
    const std::optional<platform::FileIdentity> identity = spare.identity();
    const bool copied = identity && content.seek(0) && copy_rest(content, spare, buffer);
    if (!spare.close() || !copied) {
      folder_.remove_file(name);
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    spares_[digest].push_back(*identity);
  }
  return true;
}

std::size_t ContentStore::spares_of(const std::string& digest) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = spares_.find(digest);
  return found == spares_.end() ? 0 : found->second.size();
}

bool ContentStore::move_spare_out(const std::string& digest, platform::Folder& target,
                                  const std::wstring& target_relative) {
  platform::FileIdentity identity;
  std::size_t number = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = spares_.find(digest);
    if (found == spares_.end() || found->second.empty()) return false;
    identity = found->second.back();
    found->second.pop_back();
    number = found->second.size();
  }
  return move_checked(spare_file(digest, number), identity, target, target_relative);
}

bool ContentStore::move_checked(const std::wstring& name, const platform::FileIdentity& identity,
                                platform::Folder& target, const std::wstring& target_relative) {
  if (!folder_.move_file(name, target, target_relative)) return false;
  if (target.identity_of(target_relative) == identity) return true;
  // Another file had taken its name in the store: it does not stay where it went.
  target.remove_file(target_relative);
  return false;
}

std::optional<platform::FileIdentity> ContentStore::verified(const std::string& digest) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto known = verified_.find(digest);
  if (known == verified_.end()) return std::nullopt;
  return known->second;
}

void ContentStore::remember(const std::string& digest, platform::FileIdentity identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  verified_[digest] = identity;
}

bool ContentStore::remove() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    verified_.clear();
    spares_.clear();
  }
  // Windows removes no folder while it is held open.
  folder_ = platform::Folder();
  return delete_tree(path_);
}

// ---- Placement -----------------------------------------------------------------

namespace {

class Placement {
 public:
  Placement(ContentStore& store, platform::Folder& setup, ExtractedFiles& made)
      : store_(store), setup_(setup), made_(made) {}

  // move: the store's file becomes the first destination; otherwise it
  // stays for a later entry and every destination is a copy.
  bool place(const ArcInfoEntry& entry, std::optional<std::uint32_t> mode, bool move) {
    if (entry.dst.empty() || !store_.holds(entry.hash)) return false;
    std::vector<std::wstring> destinations;
    for (const std::string& path : entry.dst) {
      const std::wstring wide = wide_from_utf8(path);
      if (!is_safe_relative_path(wide)) return false;
      std::wstring native = to_native_separators(wide);
      if (std::find(destinations.begin(), destinations.end(), native) == destinations.end()) {
        destinations.push_back(std::move(native));
      }
    }
    platform::File content = store_.open_content(entry.hash);
    if (!content.is_open()) return false;
    if (mode) content.apply_executable_bits(*mode);
    for (std::size_t i = move ? 1 : 0; i < destinations.size(); ++i) {
      if (!place_copy(content, entry.hash, destinations[i], mode)) return false;
    }
    if (!move) return true;
    const std::optional<platform::FileIdentity> identity = content.identity();
    content.close();
    if (!identity || !make_room(destinations.front()) ||
        !store_.move_out(entry.hash, setup_, destinations.front())) {
      return false;
    }
    made_.insert(*identity);
    return true;
  }

 private:
  // Frees the name when a file this placement made has it.
  bool make_room(const std::wstring& relative) {
    const std::optional<platform::FileIdentity> existing = setup_.identity_of(relative);
    if (!existing) return true;
    if (!made_.count(*existing) || !setup_.remove_file(relative)) return false;
    made_.erase(*existing);
    return true;
  }

  // A spare copy made while the archive downloaded is moved; otherwise the
  // content is copied now.
  bool place_copy(platform::File& content, const std::string& digest, const std::wstring& relative,
                  std::optional<std::uint32_t> mode) {
    if (!make_room(relative)) return false;
    if (store_.move_spare_out(digest, setup_, relative)) {
      platform::File moved = setup_.open_file(relative, platform::File::Mode::update);
      const std::optional<platform::FileIdentity> identity = moved.identity();
      if (!identity) return false;
      made_.insert(*identity);
      if (mode) moved.apply_executable_bits(*mode);
      return true;
    }
    if (!content.seek(0)) return false;
    platform::File target = setup_.create_file(relative);
    const std::optional<platform::FileIdentity> identity = target.identity();
    if (!identity) return false;
    made_.insert(*identity);
    if (!copy_rest(content, target, buffer_)) return false;
    if (mode) target.apply_executable_bits(*mode);
    return target.close();
  }

  ContentStore& store_;
  platform::Folder& setup_;
  ExtractedFiles& made_;
  std::vector<char> buffer_;
};

}  // namespace

bool place_contents(ContentStore& store, platform::Folder& setup, const std::vector<ArcInfoEntry>& entries,
                    const UnixModeOf& unix_mode, Progress& progress, ExtractedFiles& extracted) {
  FolderCache folders;
  std::map<std::string, std::size_t> last_use;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    last_use[entries[i].hash] = i;
    for (const std::string& utf8_path : entries[i].dst) {
      // A path that leaves the setup folder gets no folders; its entry fails
      // when its turn comes.
      const std::wstring path = wide_from_utf8(utf8_path);
      if (!is_safe_relative_path(path)) continue;
      const std::wstring parent = parent_folder(to_native_separators(path));
      if (!parent.empty() && folders.insert(parent).second) setup.make_folders(parent);
    }
  }
  Placement placement(store, setup, extracted);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ArcInfoEntry& entry = entries[i];
    progress.keep_alive();
    const std::uint64_t size = store.size_of(entry.hash);
    const std::optional<std::uint32_t> mode = unix_mode ? unix_mode(entry.hash) : std::nullopt;
    if (!placement.place(entry, mode, last_use[entry.hash] == i)) return false;
    progress.step(size);
  }
  return true;
}
