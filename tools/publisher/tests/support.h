// Helpers for the publisher's tests: temporary folders, files, and running
// the tool and outside archive readers.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string slurp(const std::filesystem::path& path);
// Creates the parent folders as needed.
void put(const std::filesystem::path& path, const std::string& bytes, unsigned mode = 0644);

struct Outcome {
  int status = -1;
  std::string output;  // stdout and stderr together
};
Outcome run(const std::string& command_line);
std::string quote(const std::string& text);
// Runs a Python program given as text with the arguments; the program's
// output is returned and a non-zero exit is a failed run.
Outcome run_python(const std::string& program, const std::vector<std::string>& args);
Outcome run_tool(const std::vector<std::string>& args);

}  // namespace testing_support
