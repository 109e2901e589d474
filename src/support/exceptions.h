// The four ways a stage ends a run, and the log-then-throw convention every
// throw site follows: one "throwing ..." line with the thrower's source and
// line, then the exception.
#pragma once

#include <exception>
#include <string>
#include <type_traits>

#include "support/log.h"

// The user cancelled a dialog. Deliberately not a std::exception: the entry
// treats it as a quiet end, never as a failure to report.
struct AbortException {
  static constexpr const char* kName = "AbortException";
};

class MessageException : public std::exception {
 public:
  explicit MessageException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class DownloadException : public MessageException {
 public:
  static constexpr const char* kName = "DownloadException";
  explicit DownloadException(const char* message) : MessageException(message) {}
  explicit DownloadException(const std::string& message) : MessageException(message) {}
};

class ZipException : public MessageException {
 public:
  static constexpr const char* kName = "ZipException";
  explicit ZipException(const char* message) : MessageException(message) {}
  explicit ZipException(const std::string& message) : MessageException(message) {}
};

class ProcessException : public MessageException {
 public:
  static constexpr const char* kName = "ProcessException";
  // Stored as UTF-8, like every other message.
  explicit ProcessException(const wchar_t* message);
};

// Writes "throwing Name(message)" (or "throwing Name" for an abort) from the
// given source and line, then throws the exception.
template <class E>
[[noreturn]] void throw_logged(const E& exception, int line, const char* source) {
  std::string message = std::string("throwing ") + E::kName;
  if constexpr (std::is_base_of_v<std::exception, E>) message = message + "(" + exception.what() + ")";
  write_log(message, line, source);
  throw exception;
}
