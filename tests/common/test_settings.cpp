#include "common/test_settings.h"

Settings settings_for(const HttpService& store) {
  Settings settings = settings_from_build();
  settings.download = store;
  settings.telemetry.host.clear();
  settings.index_keys.clear();
  return settings;
}
