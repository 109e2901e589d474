#include "common/test_host.h"

#include <cstdlib>
#include <cstring>

bool running_under_wine() {
  const char* value = std::getenv("LAUNCHER_TEST_UNDER_WINE");
  return value && std::strcmp(value, "1") == 0;
}
