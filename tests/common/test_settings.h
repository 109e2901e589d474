// The launcher's settings for a test that runs the download: the build's
// own, with the release store (and its fallback hosts) of the test's choice,
// no usage records, and no index keys (a test that wants a signed index names
// its keys), so that a test means the same whether or not the build has
// index keys.
#pragma once

#include <vector>

#include "app/settings.h"

Settings settings_for(const HttpService& store, std::vector<HttpService> fallbacks = {});
