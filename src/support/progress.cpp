#include "support/progress.h"

namespace {
class NoProgress : public Progress {
 public:
  void step(std::uint64_t) override {}
  void restart() override {}
  void keep_alive() override {}
};
}  // namespace

ProgressOpener no_progress() {
  return [](const std::wstring&, std::uint32_t, std::uint64_t) { return std::make_unique<NoProgress>(); };
}
