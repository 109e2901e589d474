// Checks for the names the publisher writes into archives and indexes. The
// launcher turns them into Windows paths (setup folder, downloaded archive),
// so a name that Windows cannot hold is refused here, before it is published.
#pragma once

#include <cstdint>
#include <string>

namespace publisher {

// Empty when `name` can be one component of a Windows path; otherwise the
// reason, for example "contains '\'" or "is a reserved device name".
std::string windows_name_problem(const std::string& name);
// Release keys are dotted decimal version texts (4.2.1) that are also valid
// folder name parts.
std::string release_key_problem(const std::string& key);
// Blob container rules: 3 to 63 characters of lower-case letters, digits and
// single hyphens, starting and ending with a letter or digit.
std::string container_name_problem(const std::string& name);
// Lower-cases `text` and turns every other character into a hyphen, so that
// product and version make a container name. Empty when nothing usable is left.
std::string container_safe(const std::string& text);
bool is_valid_utf8(const std::string& text);
// How the launcher orders release keys: every component is worth ten times
// the next one (4.2.1 gives 421).
std::int64_t launcher_version_number(const std::string& key);

}  // namespace publisher
