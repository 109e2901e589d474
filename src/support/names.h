// Checks for names and paths that arrive from the network (release indexes,
// archives) before they become part of a local path, and for the names the
// publisher writes. The same archive serves every platform the launcher
// builds for, so Windows' rules apply everywhere.
#pragma once

#include <string>

// Why the UTF-8 text cannot be one component of a Windows path; empty when
// it can. Refused: the empty name, "." and "..", ill-formed UTF-8 or a zero
// character, control characters, separators of either kind, the characters
// Windows refuses in file names (< > : " | ? *), a trailing dot or blank
// (Windows drops them), reserved device names (CON, NUL, COM1, LPT1, ...
// with or without an extension), and more than 255 bytes.
std::string windows_name_problem(const std::string& name);
inline bool is_safe_file_name(const std::string& name) { return windows_name_problem(name).empty(); }

// True for a non-empty relative path of ordinary names separated by '/' or
// '\' that stays inside the folder it is joined to. False when it starts
// with a separator (root, UNC or device prefix), has a drive letter or any
// ':' (alternate data streams), a ".." component or one that Windows would
// shorten to it (dots and spaces only), or a reserved device name.
bool is_safe_relative_path(const std::wstring& path);
