// The local blob and table store (Azurite, started by scripts/azurite) as a
// test fixture: containers, blobs and table entities on loopback, with the
// account and ports of the build's local-store settings.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "net/http.h"

namespace local_store {

// The blob store as the launcher's download settings name it.
HttpService blob_service();

// A container or table name no other test uses ("prefix" + random digits).
std::string unique_name(const std::string& prefix);

bool create_container(const std::string& name, bool public_read = true);
bool put_blob(const std::string& container, const std::string& blob, const std::string& bytes);
bool create_table(const std::string& name);
bool delete_table(const std::string& name);
// The table's entities; null when the query fails.
nlohmann::json query_table(const std::string& name);

}  // namespace local_store
