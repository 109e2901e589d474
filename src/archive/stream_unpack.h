// Unpacking while the archive downloads. A thread of its own reads the
// archive front to back (zip/member_stream.h) as far as its blocks have
// arrived and passed their digests, and writes each content member into the
// staging store (content_store.h), checked against its name and CRC-32.
// Nothing reaches the setup folder until the archive is whole and verified:
// then "arcinfo.json" is read from the central directory and the staged
// contents are moved into place. An archive that cannot stream is unpacked
// as before, from the verified file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "archive/content_store.h"
#include "archive/extraction.h"
#include "support/progress.h"

class StreamingUnpack {
 public:
  // Starts reading the archive at archive_path into the store as its bytes
  // are announced.
  StreamingUnpack(std::wstring archive_path, std::unique_ptr<ContentStore> store);
  // Gives up what is still being read (its partial content goes) and waits
  // for the thread.
  ~StreamingUnpack();
  StreamingUnpack(const StreamingUnpack&) = delete;
  StreamingUnpack& operator=(const StreamingUnpack&) = delete;

  // The archive's first `end` bytes are on disk and their blocks passed
  // their digests; they stay as they are. From the downloading thread.
  void available(std::uint64_t end);
  // The archive is whole, `size` bytes: waits until the thread has read
  // it. True when every member streamed (each content is in the store,
  // unless its bytes did not match its name).
  bool finish(std::uint64_t size);

  ContentStore& store() { return *store_; }

 private:
  class Source;
  void run();

  std::wstring archive_path_;
  std::unique_ptr<ContentStore> store_;
  std::unique_ptr<Source> source_;
  bool streamed_ = false;  // set by the thread before it ends
  std::thread thread_;     // last: started when everything above exists
};

// The extraction stage after the download of the archive (archive_size
// bytes): places what the streaming staged (streamed may be null), with the "extract" progress and timer,
// into a setup folder that it makes itself; falls back to extract_archive
// when the archive did not stream or the store lacks a content. Removes the
// store once the setup folder is complete; after a failure it stays for the
// next run. Throws ZipException as extract_archive does.
bool unpack_release(StreamingUnpack* streamed, std::uint64_t archive_size, const std::wstring& archive_path,
                    const std::wstring& setup_folder, const ProgressOpener& open_progress, ExtractedFiles& extracted);
