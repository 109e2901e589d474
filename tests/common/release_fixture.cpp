#include "common/release_fixture.h"

#include <nlohmann/json.hpp>

#include "platform/system.h"
#include "platform/text.h"

std::string arcinfo_text(const std::vector<Content>& contents) {
  nlohmann::json document = nlohmann::json::array();
  for (const Content& content : contents)
    document.push_back({{"hash", sha256_of(content.content)}, {"dst", content.dst}});
  return document.dump();
}

std::vector<FixtureMember> release_members(const std::vector<Content>& contents) {
  std::vector<FixtureMember> members;
  for (const Content& content : contents) members.emplace_back(sha256_of(content.content), content.content);
  members.emplace_back("arcinfo.json", arcinfo_text(contents));
  return members;
}

ReleaseFixture::ReleaseFixture() {
  release_.filename = "release.zip";
  release_.destination = dir_.folder();
}

void ReleaseFixture::write_archive(const std::string& bytes) const { write_file(archive_file(), bytes); }

std::filesystem::path ReleaseFixture::archive_file() const { return dir_.path() / "release.zip"; }

std::wstring ReleaseFixture::setup_folder() const {
  return dir_.folder() + L"setup" + std::wstring(1, platform::path_separator());
}

std::filesystem::path ReleaseFixture::setup_path(const std::string& relative) const {
  return relative.empty() ? dir_.path() / "setup" : dir_.path() / "setup" / relative;
}
