#include "platform/ui.h"

namespace {
std::unique_ptr<platform::Ui>& current_ui() {
  static std::unique_ptr<platform::Ui> instance;
  return instance;
}
}  // namespace

platform::Ui& ui() {
  auto& instance = current_ui();
  if (!instance) instance = platform::make_platform_ui();
  return *instance;
}

void set_ui(std::unique_ptr<platform::Ui> replacement) { current_ui() = std::move(replacement); }

void pump_messages(unsigned max_messages) { ui().pump_messages(max_messages); }
