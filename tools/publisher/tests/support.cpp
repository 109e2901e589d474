#include "support.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace testing_support {

Scratch::Scratch() {
  std::random_device random;
  path_ = fs::temp_directory_path() / ("publisher-test-" + std::to_string(random()) + std::to_string(random()));
  fs::create_directories(path_);
}

Scratch::~Scratch() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void put(const fs::path& path, const std::string& bytes, unsigned mode) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(path.c_str(), mode);
}

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

Outcome run(const std::string& command_line) {
  Outcome result;
  std::FILE* pipe = ::popen((command_line + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Outcome run_python(const std::string& program, const std::vector<std::string>& args) {
  std::string line = "python3 -c " + quote(program);
  for (const std::string& arg : args) line += " " + quote(arg);
  return run(line);
}

Outcome run_tool(const std::vector<std::string>& args) {
  std::string line = quote(SETUPPUBLISH_EXE);
  for (const std::string& arg : args) line += " " + quote(arg);
  return run(line);
}

}  // namespace testing_support
