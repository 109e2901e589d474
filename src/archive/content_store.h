// The staging store: contents on their way into a setup folder, one file per
// content, named by its SHA-256 (lower-case hex), in a folder on the
// destination's file system. A content is written there as it arrives
// (while the archive downloads, or copied from a file already on the
// machine), kept under its digest's name only when its bytes hash to it, and
// moved into the setup folder once the release is verified as a whole, so a
// failed run leaves nothing but the store, which the next run takes up again
// (every file in it is checked against its name before it is trusted).
//
// Two threads may use a store at once: one asking what it holds while the
// other writes contents into it (different contents).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "archive/extraction.h"
#include "archive/zip_reader.h"
#include "formats/archive_manifest.h"
#include "platform/file.h"
#include "support/hashing.h"
#include "support/progress.h"

class ContentStore;

// One content arriving in pieces, written under a temporary name beside its
// final one. Gone again (the partial file too) unless finish() keeps it.
class ContentWriter : public zip::ChunkSink {
 public:
  ~ContentWriter() override;
  ContentWriter(const ContentWriter&) = delete;
  ContentWriter& operator=(const ContentWriter&) = delete;

  // As a zip::ChunkSink (the reader inflates straight into the buffer).
  char* room(std::size_t& size) override;
  bool fill(std::size_t size) override;
  // As a zip::ByteSink.
  bool write(const char* data, std::size_t size);
  // Keeps the content under its digest's name when sound (the reader found
  // its sizes and CRC-32 right), everything was written and the bytes hash
  // to the digest; otherwise nothing of it stays. Call once.
  bool finish(bool sound);

 private:
  friend class ContentStore;
  ContentWriter(ContentStore& store, std::string digest, platform::File file);

  ContentStore& store_;
  std::string digest_;
  platform::File file_;
  HashObject hash_{L"SHA256"};
  std::unique_ptr<char[]> buffer_;
  bool failed_ = false;
  bool finished_ = false;
};

class ContentStore {
 public:
  // Opens the store folder, making it when missing; never through a link.
  // Null when it cannot be opened, or is not the user's own (platform::Folder).
  static std::unique_ptr<ContentStore> open(const std::wstring& folder);

  // The store has a file named digest whose bytes hash to it. A file is
  // hashed once per run and then remembered; one that does not match goes.
  // False for anything that is not a lower-case SHA-256 in hex.
  bool holds(const std::string& digest);
  // The unpacked size of a content the store holds; 0 when it holds none.
  std::uint64_t size_of(const std::string& digest);

  // Starts writing the content; null when digest is no SHA-256 name or the
  // file cannot be made. A partial file that a killed run left goes first.
  std::unique_ptr<ContentWriter> begin(const std::string& digest);
  // Copies a file already on the machine (never through a link) in under
  // the digest; true only when the copy hashes to it.
  bool add_copy(const std::wstring& source_path, const std::string& digest);

  // The held content's file, checked to be the very file that was verified.
  platform::File open_content(const std::string& digest);
  // Moves a held content to the target's relative name (nothing may have it)
  // and forgets it; false when the file there is not the one verified.
  bool move_out(const std::string& digest, platform::Folder& target, const std::wstring& target_relative);

  // Makes `count` spare copies of a held content beside it, so that a
  // placement that needs the content in several places moves files instead
  // of copying them once the release is verified. False when one cannot be
  // made (those made stay).
  bool make_spares(const std::string& digest, std::size_t count);
  // How many spare copies of the content are left.
  std::size_t spares_of(const std::string& digest) const;
  // Moves a spare copy of the content to the target's relative name (nothing
  // may have it); false when none is left or the file there is not the copy
  // made.
  bool move_spare_out(const std::string& digest, platform::Folder& target, const std::wstring& target_relative);

  // Removes the store and everything in it (after a successful placement);
  // the store is unusable afterwards.
  bool remove();

 private:
  friend class ContentWriter;
  ContentStore(std::wstring path, platform::Folder folder) : path_(std::move(path)), folder_(std::move(folder)) {}

  std::optional<platform::FileIdentity> verified(const std::string& digest) const;
  // Moves a store file out; false (and nothing left there) when what arrived
  // is not the file of that identity.
  bool move_checked(const std::wstring& name, const platform::FileIdentity& identity, platform::Folder& target,
                    const std::wstring& target_relative);
  void remember(const std::string& digest, platform::FileIdentity identity);

  std::wstring path_;
  platform::Folder folder_;
  mutable std::mutex mutex_;
  // Digests verified this run, with the file that held them then.
  std::map<std::string, platform::FileIdentity> verified_;
  // The spare copies made this run, each the file made then; the last one
  // has the highest number.
  std::map<std::string, std::vector<platform::FileIdentity>> spares_;
};

// A lower-case hexadecimal SHA-256, as contents are named.
bool is_content_name(const std::string& name);

// The Unix mode the archive records for a content; empty when none.
using UnixModeOf = std::function<std::optional<std::uint32_t>(const std::string& digest)>;

// Places the manifest's entries from the store into the setup folder: the
// first destination of a content's last entry by moving the stored file, the
// other destinations (and those of earlier entries of the same content) as
// copies, moving a spare copy where the store has one; each with the
// executable bits of its recorded mode. Every file is
// new, made without following a link; a name that exists already is replaced
// only when this placement made that very file (a later entry wins), anything
// else there fails the entry. Makes the folders first, then stops at the
// first entry that fails (a content the store lacks, a path that leaves the
// folder). One progress step per entry, of its content's size. `extracted`
// receives every file made.
bool place_contents(ContentStore& store, platform::Folder& setup, const std::vector<ArcInfoEntry>& entries,
                    const UnixModeOf& unix_mode, Progress& progress, ExtractedFiles& extracted);
