#include "support/hooks.h"

#include "platform/shell.h"
#include "platform/system.h"

Hooks& replaceable_hooks() {
  static Hooks table{platform::shell_open, platform::run_and_wait, platform::sleep_ms, platform::free_disk_space};
  return table;
}

const Hooks& hooks() { return replaceable_hooks(); }
