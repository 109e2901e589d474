// The launcher's one log file, "Vorta-Setup.log" in the temporary folder.
// Each line is "source(line): message", appended with one open-write-close,
// so a line is on disk as soon as the call returns. The file is the user's
// alone: created private, and never written through a link or when it
// belongs to someone else (platform::append_private_line). Logging never
// throws and never reports its own failures.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint64_t kLogSizeLimit = 26'214'400;  // 25 MiB

void write_log(const std::string& message, int line, const char* source);
void write_log_wide(const std::wstring& message, int line, const char* source);
void append_log_line(const std::string& line);
std::wstring log_file_path();

// Deletes the file when it is larger than kLogSizeLimit. The first line a
// process writes runs this once.
void remove_oversized_log(const std::wstring& path);

// Measures a stage; when it goes out of scope (also by an exception) it logs
// "label: elapsed seconds: N" from the source and line where it was made.
class StageTimer {
 public:
  StageTimer(std::wstring label, int line, const char* source);
  ~StageTimer();
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

 private:
  std::wstring label_;
  int line_;
  const char* source_;
  std::uint64_t start_ms_;
};

std::wstring elapsed_seconds_line(const std::wstring& label, std::uint64_t start_ms, std::uint64_t now_ms);
