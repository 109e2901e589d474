#include <csignal>
#include <iostream>

#include "cli.h"

int main(int argc, char** argv) {
  // A store that drops the connection mid-upload must end in an error
  // message, not in a silent death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  return publisher::run_command_line(args, std::cout, std::cerr);
}
