#include "common/release_fixture.h"

#include "platform/system.h"
#include "support/files.h"
#include "platform/text.h"

std::string arcinfo_of(const std::vector<Content>& contents) {
  std::vector<ArcInfoEntry> entries;
  for (const Content& content : contents) entries.push_back({sha256_of(content.content), content.dst});
  return arcinfo_text(entries);
}

std::vector<FixtureMember> release_members(const std::vector<Content>& contents) {
  std::vector<FixtureMember> members;
  for (const Content& content : contents) members.emplace_back(sha256_of(content.content), content.content);
  members.emplace_back("arcinfo.json", arcinfo_of(contents));
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

bool ReleaseFixture::extract(const ProgressOpener& open_progress) {
  delete_tree(setup_folder());
  return extract_archive(archive_path(release_), setup_folder(), open_progress, extracted_);
}
