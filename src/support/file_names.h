// A check for names that arrive from the network (release indexes)
// before they become part of a local path. A name that passes
// stays inside the folder it is joined to, on every platform the launcher
// builds for, so Windows' rules apply everywhere.
#pragma once

#include <string>

// One path component: not empty, no separator of either kind, no drive or
// stream colon, no character Windows refuses in a file name (control
// characters, < > : " | ? *), no trailing dot or blank (Windows drops them,
// which also covers "." and ".."), and no reserved device name (CON, NUL,
// COM1, LPT1, ... with or without an extension).
bool is_safe_file_name(const std::wstring& name);
// The same for UTF-8 text, which must also hold no zero character (the
// wide conversion would silently cut the name there).
bool is_safe_file_name(const std::string& utf8_name);
