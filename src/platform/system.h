// Facts about the machine and the running process, and the few file-system
// operations whose meaning differs between platforms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// '\' on Windows, '/' elsewhere: the separator the launcher writes.
wchar_t path_separator();
// True for both separators the platform accepts in a path ('/' and '\' on Windows).
bool is_path_separator(wchar_t c);

// Full path of the running executable; empty when it cannot be read.
std::wstring executable_path();
// The user's temporary folder (Windows: GetTempPathW; elsewhere $TMPDIR or /tmp).
std::wstring temp_folder();
// The launcher's folder for what it keeps about this user between runs,
// with a trailing separator; not created here. Windows:
// %LOCALAPPDATA%\setuplauncher\; elsewhere $XDG_STATE_HOME/setuplauncher/,
// by default ~/.local/state/setuplauncher/. Empty when the environment
// names no such place.
std::wstring user_state_folder();
// A path as a user typed it, made complete: a relative one is taken from the
// current folder, and on Linux a leading "~" stands for the home folder.
// Empty stays empty.
std::wstring absolute_path(const std::wstring& typed);

std::uint64_t tick_count_ms();
void sleep_ms(unsigned milliseconds);

// Whether the operating system is 64-bit (for the 32-bit Windows build: runs under WOW64).
bool is_64bit_os();

// What has the name itself, never what a link there points to. On Windows
// every reparse point (a junction too) counts as a link. `none` only when
// nothing has the name; a name that cannot be looked at is `other`.
enum class PathKind { none, file, folder, link, other };
PathKind path_kind(const std::wstring& path);

// A link is removed itself, never its target: a folder link or junction
// as a folder, a file link as a file.
bool remove_link(const std::wstring& path);
// A file (on Windows, not a read-only one).
bool remove_file(const std::wstring& path);
// An empty folder.
bool remove_folder(const std::wstring& path);
// One folder, whose parent must exist; false also when the name is taken.
bool make_folder(const std::wstring& path);
// Gives the user write permission to the file again (Windows: clears the
// read-only attribute), following a link.
void clear_read_only(const std::wstring& path);
// The size of the file, following a link; empty when it cannot be read.
std::optional<std::uint64_t> file_size(const std::wstring& path);

struct FolderEntry {
  std::wstring path;
  bool is_folder = false;
  bool is_link = false;  // also a junction or other reparse point
};
// The entries of a folder, without "." and "..". False when the folder
// cannot be read.
bool list_folder(const std::wstring& folder, std::vector<FolderEntry>& entries);

// Puts the file `from` in the place of `to` in one step: a reader sees the
// old file or the new one, never a part. False when that fails.
bool replace_file(const std::wstring& from, const std::wstring& to);

// Gives the folder `from` the name `to` on the same volume, in one step;
// false when anything has the name `to` already (also an empty folder) or the
// rename fails. Paths may end in a separator.
bool rename_folder(const std::wstring& from, const std::wstring& to);

// Bytes the user may still write on the volume that holds the folder (an
// existing one); empty when it cannot be read.
std::optional<std::uint64_t> free_disk_space(const std::wstring& folder);

// For tests that point the temporary folder elsewhere; an empty value removes it.
void set_environment_variable(const char* name, const std::string& value);

// ---- Machine facts for usage records -------------------------------------
// Each answers something even when the fact cannot be read; none throws.

struct OsVersion {
  bool known = false;  // false: the version could not be read
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long service_pack_major = 0;
  unsigned long service_pack_minor = 0;
};
OsVersion os_version();

// Total physical memory in bytes; 0 when unknown.
std::uint64_t total_physical_memory();

// The machine's stable identifier as GUID text, or the text
// "Cannot query, error: N last error: M" when it cannot be read.
std::string machine_guid_text();

// A new UUID, 36 characters, lower-case, without braces; empty on failure.
std::string new_uuid_text();

// The system locale's facts as UTF-8; each is "<unkown>" (sic, sent as such)
// when the platform has no such fact.
struct SystemLocale {
  std::string geo_id;
  std::string iso3166_country;
  std::string locale_sname;
};
SystemLocale system_locale();

// ---- end of machine facts --------------------------------------------------

}  // namespace platform
