// The TLS rules of every libcurl client of the project: the launcher's
// transfers and the publisher's uploads. What is downloaded is run, and what
// is uploaded is what launchers run, so the chain, the host name and the
// dates must hold, on TLS 1.2 or later.
#pragma once

#include <curl/curl.h>

#include <string>

namespace platform {

// ca_file, when not empty, replaces the bundle file only: the system's
// certificate folder stays trusted.
void apply_tls_rules(CURL* easy, const std::string& ca_file);

}  // namespace platform
