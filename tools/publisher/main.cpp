#include <iostream>

#include "cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return publisher::run_command_line(args, std::cout, std::cerr);
}
