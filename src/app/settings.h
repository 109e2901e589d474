// The launcher's configuration: built once at the entry from the build's
// settings and handed down to the stages, each of which takes only its part.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/host_chain.h"
#include "telemetry/send_telemetry.h"

struct Settings {
  std::uint64_t launcher_version = 0;
  // The product built into the program; empty: the file name decides.
  std::wstring product;
  std::string matrix_url;  // the product-matrix document
  HttpService download;    // the blob store with the release indexes and archives
  // Hosts serving the same store, tried in order after download (net/host_chain.h).
  std::vector<HttpService> download_fallbacks;
  // PEM public keys; the release index must carry a signature by one of
  // them. Empty: the index is taken as the store serves it.
  std::vector<std::string> index_keys;
  TelemetryEndpoint telemetry;
};

Settings settings_from_build();
