// The launcher's configuration: built once at the entry from the build's
// settings and handed down to the stages, each of which takes only its part.
#pragma once

#include <cstdint>
#include <string>

#include "net/http.h"
#include "telemetry/send_telemetry.h"

struct Settings {
  std::uint64_t launcher_version = 0;
  // The product built into the program; empty: the file name decides.
  std::wstring product;
  std::string matrix_url;  // the product-matrix document
  HttpService download;    // the blob store with the release indexes and archives
  TelemetryEndpoint telemetry;
};

Settings settings_from_build();
