// The few services a test replaces, gathered in one table in the spirit of
// an overridable system-call table: every entry starts as the platform's
// own function, and a test swaps one for the life of a ScopedHook, which
// puts the previous one back. Nothing else in the launcher is replaceable
// at run time; its configuration is passed down, not looked up.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

struct Hooks {
  // Opens a file or address through the desktop (starts the setup program).
  std::function<void(const std::wstring& target)> shell_open;
  // Starts the setup program and waits for its exit code (empty: it could
  // not be started or waited for).
  std::function<std::optional<int>(const std::wstring& program)> run_and_wait;
  // Waits before a request or a block is tried again.
  std::function<void(unsigned milliseconds)> sleep_ms;
  // Bytes the user may still write where the folder lies (platform::free_disk_space).
  std::function<std::optional<std::uint64_t>(const std::wstring& folder)> free_disk_space;
};

const Hooks& hooks();
Hooks& replaceable_hooks();

template <class Entry>
class ScopedHook {
 public:
  ScopedHook(Entry Hooks::*entry, Entry replacement) : entry_(entry), previous_(replaceable_hooks().*entry) {
    replaceable_hooks().*entry_ = std::move(replacement);
  }
  ~ScopedHook() { replaceable_hooks().*entry_ = std::move(previous_); }
  ScopedHook(const ScopedHook&) = delete;
  ScopedHook& operator=(const ScopedHook&) = delete;

 private:
  Entry Hooks::*entry_;
  Entry previous_;
};
