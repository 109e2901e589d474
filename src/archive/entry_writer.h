// The writing half of the extraction, on a second thread: while the calling
// thread reads and inflates the next bytes of the archive, this one writes
// the bytes before them and takes their SHA-256. Inflating is the larger
// half; writing (file creation included) and hashing the other, so on two
// cores the two overlap instead of adding up.
//
// The SHA-256 of an entry is taken by this thread, or, while it is behind
// (every buffer waits for it), by the calling thread before it hands a
// buffer over instead of waiting idle; which of the two takes a file's
// digest can change once per file, from the caller to the thread.
//
// Entries are written strictly in the order they are handed over, each one
// finished (verified, executable bits, copies) before the next file is
// opened, so a destination that two entries share ends with the later one,
// and nothing queued after a failed entry is written. Only this thread
// touches the destination files, and so the process's umask, until
// finish() returns.
//
// Every file is new: made in the folder without following a link. A name
// that exists already is replaced only when this writer made that very file
// (a destination that a later entry or copy shares); anything else there
// fails the entry.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/zip_reader.h"
#include "platform/file.h"
#include "support/hashing.h"

class EntryWriter : public zip::ChunkSink {
 public:
  struct Entry {
    std::wstring first;                      // written from the archive; relative to the folder
    std::vector<std::wstring> copies;        // copied from first, in order, once first is verified
    std::string hash;                        // expected SHA-256 of first, lower-case hex
    std::optional<std::uint32_t> unix_mode;  // the member's recorded mode
  };

  // Memory stays at buffer_count buffers of buffer_size bytes, and at most
  // entries_ahead entries wait for the thread, however large the release.
  // The folder stays the caller's and must outlive the writer.
  explicit EntryWriter(platform::Folder& folder, std::size_t buffer_count = 8, std::size_t buffer_size = 512u << 10,
                       std::size_t entries_ahead = 64);
  // Drops what is still queued (nothing more of it is written) and waits
  // for the thread.
  ~EntryWriter();
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;

  // From the calling thread, per entry: begin, the member's content through
  // room/fill (zip::ZipReader::extract), then end with the reader's verdict.
  // begin is false once an entry has failed; then nothing more is written.
  bool begin(Entry entry);
  char* room(std::size_t& size) override;
  bool fill(std::size_t size) override;
  void end(bool content_sound);

  // Entries written, verified and copied so far, in order.
  std::size_t done() const;
  bool failed() const;
  // Every file made so far, by identity; read it once finish() has returned.
  const std::set<platform::FileIdentity>& made() const { return mMade; }
  // Waits until everything handed over is finished, calling on_done on the
  // calling thread whenever done() may have grown. False when an entry failed.
  bool finish(const std::function<void()>& on_done);

 private:
  struct Job {
    enum class Kind { begin, data, end } kind = Kind::begin;
    Entry entry;             // begin
    std::size_t buffer = 0;  // data
    std::size_t size = 0;    // data
    bool hashed = false;     // data: the caller has added it to the digest already
    std::shared_ptr<HashObject> hash;  // begin: the entry's digest, shared while the caller may add to it
    bool sound = false;      // end
  };
  class Output;

  void push(Job job);
  void run();
  void work(Job& job, Output& output);
  platform::File create(const std::wstring& relative);
  void copy(Output& output, const std::wstring& relative);

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  platform::Folder& mFolder;
  std::set<platform::FileIdentity> mMade;  // touched by the thread only

  mutable std::mutex mMutex;
  std::condition_variable mWorkReady;  // the thread waits for jobs
  std::condition_variable mProgress;   // the caller waits for buffers and finished entries
  std::deque<Job> mJobs;
  std::vector<std::unique_ptr<char[]>> mBuffers;
  std::vector<std::size_t> mFreeBuffers;
  std::size_t mBufferSize;
  std::size_t mEntriesAhead;
  std::size_t mLent = kNone;      // the buffer the reader is filling
  // The digest of the entry being read, while the caller still adds to it;
  // touched only by the calling thread.
  std::shared_ptr<HashObject> mCallerHash;
  std::size_t mUnfinished = 0;    // jobs queued or in work
  std::size_t mEntriesBegun = 0;  // by the caller
  std::size_t mEntriesDone = 0;   // by the thread, successfully
  bool mFailed = false;
  bool mStopping = false;
  std::thread mThread;  // last: started when everything above exists
};
