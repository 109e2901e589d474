// The differential install against a server that serves the release's
// archive by range, damages members on purpose, or serves what the index
// does not pin; and the full download the main flow falls back to.
#include <filesystem>

#include <gtest/gtest.h>

#include "app/setuplauncher.h"
#include "archive/zip_reader.h"
#include "common/fault_server.h"
#include "common/scripted_ui.h"
#include "common/temp_dir.h"
#include "common/test_settings.h"
#include "common/zip_fixture.h"
#include "formats/archive_manifest.h"
#include "platform/system.h"
#include "release/ranged_archive.h"
#include "release/update_stage.h"
#include "support/hashing.h"
#include "support/hooks.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kBlock = 65536;
const std::string kArchive = "/rel/setup.zip";

// Three contents larger than the merge gap, so that each is a range of its own.
const std::string kKept = random_bytes(150'000, 1);
const std::string kMoved = random_bytes(150'001, 2);
const std::string kChanged = random_bytes(150'002, 3);

class DifferentialInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_FAULT_SERVER(server);
    arcinfo = arcinfo_text({{sha256_of(kKept), {"bin\\kept.exe"}},
                            {sha256_of(kMoved), {"moved\\here.dat", "moved\\copy.dat"}},
                            {sha256_of(kChanged), {"bin\\changed.dll"}}});
    arcconfig = arcconfig_text({{"*", "*", "bin\\kept.exe", ""}});
    bytes = make_zip({{kArcInfoMember, arcinfo},
                      {kArcConfigMember, arcconfig},
                      FixtureMember(sha256_of(kKept), kKept, false).mode(0100755),
                      FixtureMember(sha256_of(kMoved), kMoved, false),
                      FixtureMember(sha256_of(kChanged), kChanged, false)});
    // Release 1.0 left: one content at its path, one elsewhere, one changed
    // since (same size, other bytes).
    write_file(old_folder() / "bin" / "kept.exe", kKept);
    write_file(old_folder() / "other" / "place.dat", kMoved);
    write_file(old_folder() / "bin" / "changed.dll", random_bytes(kChanged.size(), 9));
    publish();
  }

  fs::path old_folder() const { return dest.path() / "prod.1.0"; }
  fs::path new_folder() const { return dest.path() / "prod.2.0"; }

  void publish(const std::string& arcinfo_digest = {}) {
    json list = json::array();
    for (std::size_t first = 0; first < bytes.size(); first += kBlock) list.push_back(md5_hex(bytes.substr(first, kBlock)));
    const json entry = {{"release", "2.0"},
                        {"containername", "rel"},
                        {"filename", "setup.zip"},
                        {"blockhash", "setup.md5"},
                        {"blocksize", kBlock},
                        {"filesize", bytes.size()},
                        {"hash", hash_buffer(bytes, L"SHA256", true)},
                        {"arcinfo_sha256", arcinfo_digest.empty() ? sha256_of(arcinfo) : arcinfo_digest},
                        {"arcconfig_sha256", sha256_of(arcconfig)}};
    server.set_content("/prod-v2/index", json{{"current_release", "2.0"}, {"releases", {{"2.0", entry}}}}.dump());
    server.set_content("/rel/setup.md5", list.dump());
    server.set_content(kArchive, bytes);
  }

  // The Range header of the member's span, as the update asks for it alone.
  std::string member_range(const std::string& content) const {
    zip::MemorySource source(bytes);
    zip::ZipReader reader;
    reader.open(source);
    zip::MemberStat stat;
    reader.stat(*reader.locate(sha256_of(content)), stat);
    std::uint64_t end = reader.directory_offset();
    for (std::size_t i = 0; i < reader.member_count(); ++i) {
      zip::MemberStat other;
      reader.stat(i, other);
      if (other.local_header_offset > stat.local_header_offset) end = std::min(end, other.local_header_offset);
    }
    return "bytes=" + std::to_string(stat.local_header_offset) + "-" + std::to_string(end - 1);
  }

  std::vector<std::string> archive_ranges() const {
    std::vector<std::string> ranges;
    for (const auto& request : server.requests()) {
      if (request.path == kArchive) ranges.push_back(request.header("Range"));
    }
    return ranges;
  }

  // download_setup's run: the release and, when it was taken, the update.
  Downloaded download() {
    ui.version_answers.push_back(choose(0, false, dest.folder()));
    return download_setup(settings_for(server.service()), user_answers(ui, {}), L"prod");
  }

  FaultServer server;
  TempDir dest;
  ScriptedUi ui;
  std::string arcinfo;
  std::string arcconfig;
  std::string bytes;
  unsigned waits = 0;
  ScopedHook<std::function<void(unsigned)>> counted_waits{&Hooks::sleep_ms, [this](unsigned) { ++waits; }};
};

TEST_F(DifferentialInstall, FetchesOnlyWhatNoSeedHoldsAndBuildsTheFolderBesideTheOld) {
  Downloaded downloaded = download();
  ASSERT_TRUE(downloaded.update);
  // Only the changed content's member, besides the tail and the manifests.
  const std::vector<std::string> ranges = archive_ranges();
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), member_range(kChanged)), 1);
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), member_range(kKept)), 0);
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), member_range(kMoved)), 0);
  EXPECT_FALSE(fs::exists(dest.path() / "setup.zip"));

  ExtractedFiles extracted;
  ASSERT_TRUE(downloaded.update->place(no_progress(), extracted));
  EXPECT_EQ(read_file(new_folder() / "bin" / "kept.exe"), kKept);
  EXPECT_EQ(read_file(new_folder() / "moved" / "here.dat"), kMoved);
  EXPECT_EQ(read_file(new_folder() / "moved" / "copy.dat"), kMoved);
  EXPECT_EQ(read_file(new_folder() / "bin" / "changed.dll"), kChanged);  // the stale seed was not taken
  if (platform::path_separator() == L'/') {  // files carry Unix modes only there
    EXPECT_EQ(fs::status(new_folder() / "bin" / "kept.exe").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);
  }
  EXPECT_EQ(extracted.size(), 4u);
  // Seeds are copied: the old folder is as it was; nothing else is left.
  EXPECT_EQ(read_file(old_folder() / "other" / "place.dat"), kMoved);
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(dest.path())) names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"prod.1.0", "prod.2.0"}));
  EXPECT_EQ(downloaded.update->start_commands().size(), 1u);
}

TEST_F(DifferentialInstall, ADamagedMemberIsFetchedAgainAfterAWait) {
  server.set_rule(kArchive, {{"corrupt_times", 2}, {"corrupt_range", member_range(kChanged)}});
  Downloaded downloaded = download();
  ASSERT_TRUE(downloaded.update);
  const std::vector<std::string> ranges = archive_ranges();
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), member_range(kChanged)), 3);
  EXPECT_EQ(waits, 2u);
  ExtractedFiles extracted;
  ASSERT_TRUE(downloaded.update->place(no_progress(), extracted));
  EXPECT_EQ(read_file(new_folder() / "bin" / "changed.dll"), kChanged);
}

TEST_F(DifferentialInstall, AnyDoubtTakesTheFullDownloadAndLeavesNothingOfTheUpdate) {
  const auto expect_full_download = [this](const char* why) {
    Downloaded downloaded = download();
    EXPECT_FALSE(downloaded.update) << why;
    EXPECT_EQ(read_file(dest.path() / "setup.zip"), bytes) << why;
    EXPECT_FALSE(fs::exists(dest.path() / "prod.2.0.staging")) << why;
    EXPECT_FALSE(fs::exists(new_folder())) << why;
    fs::remove(dest.path() / "setup.zip");
  };
  // A member that never arrives intact: 25 attempts, then the full download.
  server.set_rule(kArchive, {{"corrupt_times", 25}, {"corrupt_range", member_range(kChanged)}});
  expect_full_download("a member damaged every time");
  EXPECT_EQ(waits, 24u);

  // A manifest that is not the one the index pins.
  server.reset();
  publish(std::string(64, 'a'));
  expect_full_download("arcinfo.json does not match its digest");

  // An archive whose tail is not a zip archive's.
  bytes += std::string(70'000, 'x');
  publish();
  expect_full_download("no end record in the tail");
}

TEST_F(DifferentialInstall, TakesTheFullDownloadWhenNoSeedCouldHoldMostOfTheRelease) {
  fs::remove_all(old_folder());
  write_file(old_folder() / "readme.txt", "release 1.0");
  Downloaded downloaded = download();
  EXPECT_FALSE(downloaded.update);
  EXPECT_EQ(read_file(dest.path() / "setup.zip"), bytes);
  // By range only the tail and the manifests, no member.
  const std::vector<std::string> ranges = archive_ranges();
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), member_range(kChanged)), 0);
  EXPECT_FALSE(fs::exists(dest.path() / "prod.2.0.staging"));
}

TEST_F(DifferentialInstall, ReadsADirectoryLargerThanTheFirstTail) {
  // 1,000 members take about 110 KB of directory, more than the end records' tail.
  std::vector<FixtureMember> members;
  for (int i = 0; i < 1000; ++i) members.emplace_back(sha256_of(std::to_string(i)), std::to_string(i));
  server.set_content("/rel/many.zip", make_zip(members));
  const std::string many = make_zip(members);
  HostChain chain(server.service());
  RangedArchive archive(chain, L"rel/many.zip", many.size(), {});
  zip::ZipReader reader;
  ASSERT_TRUE(open_remote_directory(archive, reader));
  EXPECT_EQ(reader.member_count(), 1000u);
  EXPECT_LT(archive.fetched_bytes(), many.size());
}

}  // namespace
