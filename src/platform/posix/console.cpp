#include "platform/console.h"

#include <cstdio>

namespace platform {

namespace {
void write_to(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}
}  // namespace

bool connect_standard_streams() { return true; }

void write_standard_output(const std::string& text) { write_to(stdout, text); }
void write_standard_error(const std::string& text) { write_to(stderr, text); }

}  // namespace platform
