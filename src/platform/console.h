// Standard output and error for what the command line asks to print. A
// Windows GUI program gets no console of its own: started from a command
// prompt, it writes to the prompt's console; started from the desktop, to
// nothing at all.
#pragma once

#include <string>

namespace platform {

// Connects standard output and error that lead nowhere to the console of
// the process that started this one, when it has one. False when standard
// output still leads nowhere: what the user must read then goes to a box.
bool connect_standard_streams();

// UTF-8 text to standard output or error: to a console as its characters,
// whatever the console's code page; to a file or pipe as UTF-8 bytes.
void write_standard_output(const std::string& text);
void write_standard_error(const std::string& text);

}  // namespace platform
