// A release archive on disk, as the download leaves it, and the setup
// folder the launcher unpacks it into.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "archive/extraction.h"
#include "common/temp_dir.h"
#include "common/zip_fixture.h"
#include "release/release_info.h"
#include "support/progress.h"

// A member stored under the digest of its content, with its destinations.
struct Content {
  std::string content;
  std::vector<std::string> dst;
};

// "arcinfo.json" for the contents, in order.
std::string arcinfo_of(const std::vector<Content>& contents);
// Members for the contents (named by their digests) plus "arcinfo.json".
std::vector<FixtureMember> release_members(const std::vector<Content>& contents);

class ReleaseFixture {
 public:
  ReleaseFixture();
  const ReleaseInfo& release() const { return release_; }
  void write_archive(const std::string& bytes) const;
  std::filesystem::path archive_file() const;
  // Wide, with the trailing separator, as the main flow passes it.
  std::wstring setup_folder() const;
  // The extraction stage on the archive, into the setup folder, which goes
  // first when an earlier extraction left it (as in the main flow).
  bool extract(const ProgressOpener& open_progress);
  // The files the last extraction made.
  const ExtractedFiles& extracted() const { return extracted_; }
  std::filesystem::path setup_path(const std::string& relative = {}) const;
  const std::filesystem::path& root() const { return dir_.path(); }

 private:
  TempDir dir_;
  ReleaseInfo release_;
  ExtractedFiles extracted_;
};
