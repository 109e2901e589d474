#include "platform/process.h"

#include <cstring>

#include "build_settings.h"
#include "platform/text.h"

namespace platform {
namespace {

// The built-in product lives in a section of its own, the counterpart of the
// Windows string resource: another product can be written into a built
// launcher without compiling it again, e.g.
//   printf 'other-product' | head -c 256 > p.bin; truncate -s 256 p.bin
//   objcopy --update-section .launcher_product=p.bin setuplauncher
// Not const, so the compiler reads the bytes at run time.
constexpr std::size_t kProductCapacity = 256;
__attribute__((section(".launcher_product"), used)) char product_resource[kProductCapacity] =
    LAUNCHER_PRODUCT_LITERAL;

}  // namespace

void initialise_process() {}

std::wstring built_in_product() {
  return wide_from_utf8(std::string(product_resource, strnlen(product_resource, kProductCapacity)));
}

}  // namespace platform
