// A fresh folder under the system's temporary folder, removed with its content.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the launcher's wide text, with a trailing separator.
  std::wstring folder() const;

 private:
  std::filesystem::path path_;
};

// A path in the launcher's wide text as the standard library takes it.
std::filesystem::path fs_path_of(const std::wstring& path);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
// A file of tests/data in the source tree, whole; throws when it is missing.
std::string test_data(const std::string& relative);

// Points the launcher's log at a fresh folder for the life of the object and
// gives the lines written meanwhile.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string text() const;
  std::vector<std::string> lines() const;  // without line ends

 private:
  TempDir dir_;
  std::string previous_;
  bool had_previous_;
};

// Points the launcher's state folder (platform::user_state_folder) at a
// fresh folder for the life of the object, so that no test reads or writes
// the real user's.
class StateFolderCapture {
 public:
  StateFolderCapture();
  ~StateFolderCapture();
  // The launcher's own folder inside it.
  std::filesystem::path folder() const;

 private:
  TempDir dir_;
  std::string previous_;
};
