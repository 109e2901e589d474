// Changing the product's release index (formats/release_index.h) without
// losing what others published, and refusing entries the launcher could not
// use.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "formats/release_index.h"

namespace publisher {

enum class ReleaseSelection { keep, forbid, allow };

// Throws PublishError naming the first field the launcher could not use.
void check_release(const std::string& key, const ReleaseEntry& entry);
// The index stored as `text`; an empty text is a new index. A text that is
// not a JSON object is refused rather than replaced, so that a damaged index
// is never published over with a single release.
nlohmann::json parse_index(const std::string& text, const std::string& where);
// Adds or replaces the release and returns notes for the user. A release is
// also made current when the index names no usable current release, since
// the launcher could offer nothing otherwise.
std::vector<std::string> add_release(nlohmann::json& index, const std::string& key, const ReleaseEntry& entry,
                                     bool make_current, ReleaseSelection selection);
std::string index_text(const nlohmann::json& index);

}  // namespace publisher
