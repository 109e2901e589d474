#include "common/test_settings.h"

#include <utility>

Settings settings_for(const HttpService& store, std::vector<HttpService> fallbacks) {
  Settings settings = settings_from_build();
  settings.download = store;
  settings.download_fallbacks = std::move(fallbacks);
  settings.telemetry.host.clear();
  settings.index_keys.clear();
  return settings;
}
