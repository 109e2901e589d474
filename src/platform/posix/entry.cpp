#include "platform/entry.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(wide_from_utf8(argv[i]));
  return program_main(arguments);
}
