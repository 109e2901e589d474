// The windows of the launcher on a GTK 3 display.
#pragma once

#include <memory>

#include "platform/ui.h"

namespace platform {

// Empty when no display can be opened.
std::unique_ptr<Ui> make_gtk_ui();

}  // namespace platform
