// Usage records: one entity inserted into the table "downloads" per event.
// Fire and forget: nothing is reported, logged or raised.
#pragma once

#include <string>

void send_telemetry(const std::wstring& product, const std::string& version, const std::string& action,
                    const std::string& duration, int launcher_version);
