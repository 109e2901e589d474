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

// What the child of a fork needs to become the program, prepared before the
// fork: after it only async-signal-safe calls are allowed.
struct ChildPlan {
  std::string program;
  std::vector<std::string> arguments;
  std::string folder;
  bool search_path = false;  // look the program up in PATH (for the desktop opener)
  bool detach_io = false;    // standard input and output go to /dev/null
  int failure_fd = -1;       // told of a start that failed; closed by a successful exec
};

// The plan's arguments as exec takes them; made last before the fork, since
// they point into the plan.
struct ExecArguments {
  explicit ExecArguments(ChildPlan& plan)
      : last_fd(static_cast<int>(std::clamp(::sysconf(_SC_OPEN_MAX), 256L, 65536L))) {
    for (std::string& argument : plan.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
  }
  std::vector<char*> argv;
  int last_fd;
};

[[noreturn]] void fail_to_start(const ChildPlan& plan) {
  if (plan.failure_fd >= 0) {
    const char failed = 1;
    [[maybe_unused]] const auto written = ::write(plan.failure_fd, &failed, 1);
  }
  ::_exit(127);
}

[[noreturn]] void become_program(const ChildPlan& plan, const ExecArguments& exec) {
  if (!plan.folder.empty() && ::chdir(plan.folder.c_str()) != 0) fail_to_start(plan);
  if (plan.detach_io) {
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
    }
  }
  for (int fd = 3; fd < exec.last_fd; ++fd) {
    if (fd != plan.failure_fd) ::close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  if (plan.search_path) ::execvp(plan.program.c_str(), exec.argv.data());
  else ::execv(plan.program.c_str(), exec.argv.data());
  fail_to_start(plan);
}

bool wait_for_child(pid_t child, int& status) {
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Starts the program in a session of its own and returns once the
// intermediate child has exited, so the program is neither our child (no
// zombie, no wait) nor tied to our terminal.
void spawn_detached(ChildPlan plan) {
  plan.detach_io = true;
  const ExecArguments exec(plan);
  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    become_program(plan, exec);
  }
  int status = 0;
  wait_for_child(child, status);
}

bool is_executable_file(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The executable's complete path and its folder; empty when the target is
// not an executable file.
std::optional<ChildPlan> program_plan(const std::wstring& target) {
  const std::string path = utf8_from_wide(target);
  if (path.empty() || !is_executable_file(path)) return std::nullopt;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return std::nullopt;
  const std::string program = absolute.string();
  return ChildPlan{program, {program}, absolute.parent_path().string()};
}

}  // namespace

void shell_open(const std::wstring& target) {
  if (auto plan = program_plan(target)) return spawn_detached(std::move(*plan));
  const std::string path = utf8_from_wide(target);
  if (path.empty()) return;
  ChildPlan opener{"xdg-open", {"xdg-open", path}, std::string()};
  opener.search_path = true;
  spawn_detached(std::move(opener));
}

std::optional<int> run_and_wait(const std::wstring& target) {
  auto plan = program_plan(target);
  if (!plan) return std::nullopt;
  // The program shares our standard streams: a script sees its output. A
  // failed exec is told through a pipe that a successful one closes.
  int exec_failed[2];
  if (::pipe2(exec_failed, O_CLOEXEC) != 0) return std::nullopt;
  plan->failure_fd = exec_failed[1];
  const ExecArguments exec(*plan);
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(exec_failed[0]);
    ::close(exec_failed[1]);
    return std::nullopt;
  }
  if (child == 0) become_program(*plan, exec);
  ::close(exec_failed[1]);
  char byte = 0;
  ssize_t got;
  while ((got = ::read(exec_failed[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  ::close(exec_failed[0]);
  int status = 0;
  if (!wait_for_child(child, status) || got > 0) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

}  // namespace platform
