// Whether a relative path taken from an archive stays inside the folder it
// is joined to. Archives come from the network: a path that climbs out, is
// absolute, or names something other than an ordinary file on one of the
// platforms we ship for must never be written or started.
#pragma once

#include <string>

// True for a non-empty path made of ordinary names separated by '/' or '\'.
// False when it starts with a separator (root, UNC or device prefix), has a
// drive letter or any ':' (alternate data streams), a ".." component or a
// component that Windows would shorten to one (dots and spaces only), or a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without
// an extension). The same archive serves every platform, so the rules are
// the same everywhere.
bool is_safe_relative_path(const std::wstring& path);
