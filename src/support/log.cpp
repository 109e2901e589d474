#include "support/log.h"

#include <atomic>
#include <optional>

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
  // Only the log itself counts, never what a link of that name points to.
  if (platform::path_kind(path) != platform::PathKind::file) return;
  const std::optional<std::uint64_t> size = platform::file_size(path);
  if (size && *size > kLogSizeLimit) platform::remove_file(path);
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
  append_log_line(source + ("(" + std::to_string(line) + "): ") + message);
}

void write_log_wide(const std::wstring& message, int line, const char* source) {
  write_log(utf8_from_wide(message), line, source);
}

std::wstring elapsed_seconds_line(const std::wstring& label, std::uint64_t start_ms, std::uint64_t now_ms) {
  return label + L": elapsed seconds: " + std::to_wstring((now_ms - start_ms) / 1000);
}

StageTimer::StageTimer(std::wstring label, int line, const char* source)
    : label_(std::move(label)), line_(line), source_(source), start_ms_(platform::tick_count_ms()) {}

StageTimer::~StageTimer() {
  write_log_wide(elapsed_seconds_line(label_, start_ms_, platform::tick_count_ms()), line_, source_);
}
