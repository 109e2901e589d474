// Checks and makers for the names only the publisher chooses. The checks it
// shares with the launcher live in support/names.h and formats/release_index.h.
#pragma once

#include <string>

namespace publisher {

// Release keys are dotted decimal version texts (4.2.1) that are also valid
// folder name parts.
std::string release_key_problem(const std::string& key);
// Lower-cases `text` and turns every other character into a hyphen, so that
// product and version make a container name. Empty when nothing usable is left.
std::string container_safe(const std::string& text);

}  // namespace publisher
