#include "common/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/files.h"
#include "support/log.h"
#include "platform/system.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {
// The variables the platform reads the temporary and the state folder from.
const char* temp_variable() { return platform::path_separator() == L'\\' ? "TMP" : "TMPDIR"; }
const char* state_variable() { return platform::path_separator() == L'\\' ? "LOCALAPPDATA" : "XDG_STATE_HOME"; }
void set_env(const char* name, const std::string& value) { platform::set_environment_variable(name, value); }
}  // namespace

fs::path fs_path_of(const std::wstring& path) {
  // The library reads narrow paths in the ANSI code page on Windows.
  if (platform::path_separator() == L'\\') return fs::path(path);
  return fs::path(utf8_from_wide(path));
}

TempDir::TempDir() {
  std::random_device random;
  // The platform's own lookup copes with an empty variable, which LogCapture
  // leaves behind when there was none before it.
  path_ = fs_path_of(platform::temp_folder()) / ("launcher-test-" + std::to_string(random()) + std::to_string(random()));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::wstring TempDir::folder() const { return as_folder_path(path_.wstring()); }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string test_data(const std::string& relative) {
  const fs::path path = fs::path(LAUNCHER_SOURCE_DIR) / "tests" / "data" / relative;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw std::runtime_error("missing test data " + path.string());
  return read_file(path);
}

LogCapture::LogCapture() {
  const char* previous = std::getenv(temp_variable());
  had_previous_ = previous != nullptr;
  // Without the variable the system's temporary folder comes back afterwards:
  // an empty one would break every later temporary folder of the process.
  previous_ = previous ? std::string(previous) : fs::temp_directory_path().string();
  set_env(temp_variable(), dir_.path().string());
}

LogCapture::~LogCapture() { set_env(temp_variable(), previous_); }

std::string LogCapture::text() const { return read_file(fs_path_of(log_file_path())); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> result;
  std::istringstream in(text());
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(line);
  }
  return result;
}

StateFolderCapture::StateFolderCapture() {
  const char* previous = std::getenv(state_variable());
  previous_ = previous ? previous : "";
  set_env(state_variable(), dir_.path().string());
}

// An empty value removes the variable again.
StateFolderCapture::~StateFolderCapture() { set_env(state_variable(), previous_); }

fs::path StateFolderCapture::folder() const { return dir_.path() / "setuplauncher"; }
