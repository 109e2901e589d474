// Where the tests run, for the few checks that depend on the platform's own
// HTTP client rather than on the launcher's code.
#pragma once

#include <gtest/gtest.h>

// True when the test runner says so (LAUNCHER_TEST_UNDER_WINE=1, set by
// scripts/wine-test).
bool running_under_wine();

#define SKIP_UNDER_WINE(reason)                                       \
  do {                                                                \
    if (running_under_wine()) GTEST_SKIP() << "under Wine: " reason; \
  } while (false)
