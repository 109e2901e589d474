#include "platform/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text.h"

namespace platform {

namespace {

// Starts the program in a session of its own and returns once the
// intermediate child has exited, so the program is neither our child (no
// zombie, no wait) nor tied to our terminal. search_path: look the program
// up in PATH (for the desktop opener); otherwise it is a path.
void spawn_detached(const std::string& program, std::vector<std::string> arguments, const std::string& folder,
                    bool search_path) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // Everything the child needs is prepared here: after fork only
  // async-signal-safe calls are allowed.
  long open_max = ::sysconf(_SC_OPEN_MAX);
  const int last_fd = static_cast<int>(std::clamp(open_max, 256L, 65536L));

  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
    }
    for (int fd = 3; fd < last_fd; ++fd) ::close(fd);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    if (search_path) ::execvp(program.c_str(), argv.data());
    else ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

bool is_executable_file(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

void shell_open(const std::wstring& target) {
  const std::string path = utf8_from_wide(target);
  if (path.empty()) return;
  if (is_executable_file(path)) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) return;
    const std::string program = absolute.string();
    spawn_detached(program, {program}, absolute.parent_path().string(), false);
    return;
  }
  spawn_detached("xdg-open", {"xdg-open", path}, std::string(), true);
}

}  // namespace platform
