#include "platform/process.h"

#include "build_settings.h"
#include "platform/text.h"

namespace platform {

void initialise_process() {}

std::wstring built_in_product() { return wide_from_utf8(build_settings::product); }

}  // namespace platform
