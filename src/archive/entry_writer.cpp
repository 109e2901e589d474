#include "archive/entry_writer.h"

#include <utility>

// What the thread knows of the entry it is writing.
class EntryWriter::Output {
 public:
  Entry entry;
  platform::File file;
  std::shared_ptr<HashObject> hash;
  bool active = false;  // begun, neither finished nor failed
  std::vector<char> copy_buffer;

  void stop() {
    file.close();
    hash.reset();
    active = false;
  }
};

EntryWriter::EntryWriter(platform::Folder& folder, std::size_t buffer_count, std::size_t buffer_size,
                         std::size_t entries_ahead)
    : mFolder(folder),
      mBufferSize(buffer_size == 0 ? 1 : buffer_size),
      mEntriesAhead(entries_ahead == 0 ? 1 : entries_ahead) {
  if (buffer_count == 0) buffer_count = 1;
  for (std::size_t i = 0; i < buffer_count; ++i) {
    mBuffers.push_back(std::make_unique<char[]>(mBufferSize));
    mFreeBuffers.push_back(i);
  }
  mThread = std::thread(&EntryWriter::run, this);
}

EntryWriter::~EntryWriter() {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mStopping = true;
  }
  mWorkReady.notify_all();
  if (mThread.joinable()) mThread.join();
}

bool EntryWriter::begin(Entry entry) {
  std::unique_lock<std::mutex> lock(mMutex);
  mProgress.wait(lock, [this] { return mFailed || mEntriesBegun - mEntriesDone < mEntriesAhead; });
  if (mFailed) return false;
  ++mEntriesBegun;
  Job job;
  job.kind = Job::Kind::begin;
  job.entry = std::move(entry);
  job.hash = std::make_shared<HashObject>(L"SHA256");
  mCallerHash = job.hash;
  lock.unlock();
  push(std::move(job));
  return true;
}

char* EntryWriter::room(std::size_t& size) {
  std::unique_lock<std::mutex> lock(mMutex);
  if (mLent == kNone) {
    mProgress.wait(lock, [this] { return mFailed || !mFreeBuffers.empty(); });
    // Inflating the rest of a member that can no longer be written would
    // only keep the caller from learning of the failure.
    if (mFailed) {
      size = 0;
      return nullptr;
    }
    mLent = mFreeBuffers.back();
    mFreeBuffers.pop_back();
  }
  size = mBufferSize;
  return mBuffers[mLent].get();
}

bool EntryWriter::fill(std::size_t size) {
  std::unique_lock<std::mutex> lock(mMutex);
  if (mLent == kNone || size == 0 || size > mBufferSize) return false;
  Job job;
  job.kind = Job::Kind::data;
  job.buffer = mLent;
  job.size = size;
  mLent = kNone;
  const bool behind = mFreeBuffers.empty();
  const bool failed = mFailed;
  lock.unlock();
  // Once a buffer has gone over unhashed, the thread owns the digest: the
  // buffers before it must be added first.
  if (behind && mCallerHash) {
    mCallerHash->add(mBuffers[job.buffer].get(), size);
    job.hashed = true;
  } else {
    mCallerHash.reset();
  }
  push(std::move(job));
  return !failed;
}

void EntryWriter::end(bool content_sound) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mLent != kNone) mFreeBuffers.push_back(mLent);
    mLent = kNone;
  }
  mCallerHash.reset();
  Job job;
  job.kind = Job::Kind::end;
  job.sound = content_sound;
  push(std::move(job));
}

std::size_t EntryWriter::done() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mEntriesDone;
}

bool EntryWriter::failed() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mFailed;
}

bool EntryWriter::finish(const std::function<void()>& on_done) {
  std::unique_lock<std::mutex> lock(mMutex);
  std::size_t reported = kNone;
  for (;;) {
    if (mEntriesDone != reported) {
      reported = mEntriesDone;
      lock.unlock();
      on_done();
      lock.lock();
      continue;
    }
    if (mUnfinished == 0) return !mFailed;
    mProgress.wait(lock);
  }
}

void EntryWriter::push(Job job) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mJobs.push_back(std::move(job));
    ++mUnfinished;
  }
  mWorkReady.notify_one();
}

void EntryWriter::run() {
  Output output;
  std::unique_lock<std::mutex> lock(mMutex);
  for (;;) {
    mWorkReady.wait(lock, [this] { return mStopping || !mJobs.empty(); });
    if (mStopping) return;
    Job job = std::move(mJobs.front());
    mJobs.pop_front();
    const bool skip = mFailed;
    lock.unlock();

    // After a failure the rest is dropped; the buffers still come back.
    bool failed = false;
    if (skip) {
      output.stop();
    } else {
      try {
        work(job, output);
        failed = job.kind == Job::Kind::end ? !job.sound : !output.active;
      } catch (...) {
        output.stop();
        failed = true;
      }
    }

    lock.lock();
    if (job.kind == Job::Kind::data) mFreeBuffers.push_back(job.buffer);
    if (failed) mFailed = true;
    if (!skip && !failed && job.kind == Job::Kind::end) ++mEntriesDone;
    --mUnfinished;
    mProgress.notify_all();
  }
}

// Leaves output inactive after a failure; an end job comes back with sound
// false unless the entry was written, verified and copied.
void EntryWriter::work(Job& job, Output& output) {
  switch (job.kind) {
    case Job::Kind::begin: {
      output.stop();
      output.entry = std::move(job.entry);
      output.file = create(output.entry.first);
      if (!output.file.is_open()) return;
      output.hash = std::move(job.hash);
      output.active = true;
      return;
    }
    case Job::Kind::data: {
      if (!output.active) return;
      const char* data = mBuffers[job.buffer].get();
      if (!output.file.write(data, job.size)) return output.stop();
      if (!job.hashed) output.hash->add(data, job.size);
      return;
    }
    case Job::Kind::end: {
      if (!output.active) {
        job.sound = false;
        return;
      }
      const std::string digest = output.hash->finish(true);
      job.sound = job.sound && digest == output.entry.hash;
      if (job.sound) {
        if (output.entry.unix_mode) output.file.apply_executable_bits(*output.entry.unix_mode);
        // A copy that fails is not the entry's failure: the content is on
        // disk and verified at its first place.
        for (const std::wstring& relative : output.entry.copies) copy(output, relative);
      }
      const bool written = output.file.close();
      output.stop();
      job.sound = job.sound && written;
      return;
    }
  }
}

// A new file at the name. When the name is taken by a file this writer made
// (an earlier entry's or copy's destination), that file goes first: the later
// one wins. Anything else there stays, and no file is made.
platform::File EntryWriter::create(const std::wstring& relative) {
  platform::File file = mFolder.create_file(relative);
  if (!file.is_open()) {
    const std::optional<platform::FileIdentity> existing = mFolder.identity_of(relative);
    if (!existing || !mMade.count(*existing) || !mFolder.remove_file(relative)) return file;
    mMade.erase(*existing);
    file = mFolder.create_file(relative);
  }
  const std::optional<platform::FileIdentity> identity = file.identity();
  if (!identity) return platform::File();
  mMade.insert(*identity);
  return file;
}

// Copies the verified first file, read back from its start, to a new file.
void EntryWriter::copy(Output& output, const std::wstring& relative) {
  platform::File target = create(relative);
  if (!target.is_open() || !output.file.seek(0)) return;
  output.copy_buffer.resize(1u << 20);
  for (std::size_t got; (got = output.file.read(output.copy_buffer.data(), output.copy_buffer.size())) > 0;) {
    if (!target.write(output.copy_buffer.data(), got)) return;
  }
  if (output.entry.unix_mode) target.apply_executable_bits(*output.entry.unix_mode);
}
