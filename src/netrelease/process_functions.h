// Starting the setup program.
#pragma once

#include <functional>
#include <string>

// Opens path through the shell without waiting for it. A path that is not
// complete is taken relative to the program's own folder; when that folder
// is unknown, throws ProcessException("cannot get current directory").
void launch_file(const std::wstring& path, bool complete);

// How launch_file hands a path to the shell; platform::shell_open unless
// replaced. Returns the previous one; an empty function restores the default.
using ShellOpener = std::function<void(const std::wstring&)>;
ShellOpener set_shell_opener(ShellOpener opener);
