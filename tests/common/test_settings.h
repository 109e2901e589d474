// The launcher's settings for a test that runs the download: the build's
// own, with the release store (and its fallback hosts) of the test's choice
// and no usage records.
#pragma once

#include <vector>

#include "app/settings.h"

Settings settings_for(const HttpService& store, std::vector<HttpService> fallbacks = {});
