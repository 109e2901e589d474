#include "telemetry/send_telemetry.h"

// Placeholder until the table-store client lands: nothing is sent.
void send_telemetry(const std::wstring&, const std::string&, const std::string&, const std::string&, int) {}
