#include "support/log.h"

#include <atomic>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "platform/file.h"
#include "platform/system.h"
#include "support/files.h"
#include "platform/text.h"

namespace {
std::atomic<int> first_write_done{0};
}

std::wstring log_file_path() {
  return as_folder_path(platform::temp_folder()) + L"Vorta-Setup.log";
}

void remove_oversized_log(const std::wstring& path) {
  std::error_code ec;
  const auto p = platform::fs_path(path);
  // Only the log itself counts, never what a link of that name points to.
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(p, ec))) return;
  const auto size = std::filesystem::file_size(p, ec);
  if (!ec && size > kLogSizeLimit) std::filesystem::remove(p, ec);
}

void append_log_line(const std::string& line) {
  const std::wstring path = log_file_path();
  int expected = 0;
  if (first_write_done.compare_exchange_strong(expected, 1)) remove_oversized_log(path);

  // The temporary folder may be shared (/tmp): a link, another user's file
  // or a second name planted there gets no line, and neither does any
  // other file.
  platform::append_private_line(path, line);
}

void write_log(const std::string& message, int line, const char* source) {
  std::ostringstream text;
  text << source << "(" << line << "): " << message;
  append_log_line(text.str());
}

void write_log_wide(const std::wstring& message, int line, const char* source) {
  write_log(utf8_from_wide(message), line, source);
}

std::wstring elapsed_seconds_line(const std::wstring& label, std::uint64_t start_ms, std::uint64_t now_ms) {
  std::wostringstream text;
  text << label << L": elapsed seconds: " << (now_ms - start_ms) / 1000;
  return text.str();
}

StageTimer::StageTimer(std::wstring label, int line, const char* source)
    : label_(std::move(label)), line_(line), source_(source), start_ms_(platform::tick_count_ms()) {}

StageTimer::~StageTimer() {
  write_log_wide(elapsed_seconds_line(label_, start_ms_, platform::tick_count_ms()), line_, source_);
}
