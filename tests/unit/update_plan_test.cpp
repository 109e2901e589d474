#include <filesystem>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "release/update_plan.h"

namespace fs = std::filesystem;

namespace {

zip::MemberStat member(const std::string& name, std::uint64_t offset, std::uint64_t compressed) {
  zip::MemberStat stat;
  stat.name = name;
  stat.local_header_offset = offset;
  stat.compressed_size = compressed;
  return stat;
}

std::wstring wide(const fs::path& path) { return path.wstring(); }

}  // namespace

TEST(UpdatePlan, RefusesDirectoriesThatCannotDriveRangeRequests) {
  // Header (30) + name (1) + data: "a" takes 0..41, "b" 41..82.
  const std::vector<zip::MemberStat> sound = {member("b", 41, 10), member("a", 0, 10)};
  EXPECT_EQ(directory_problem(sound, 82), "");
  EXPECT_NE(directory_problem(sound, 81).find("reaches past"), std::string::npos);
  EXPECT_NE(directory_problem({member("a", 0, 11), member("b", 41, 10)}, 100).find("overlap"), std::string::npos);
  EXPECT_NE(directory_problem({member("a", 0, 1), member("A", 50, 1)}, 100).find("twice"), std::string::npos);
  // Sizes that would wrap around a 64-bit sum.
  EXPECT_NE(directory_problem({member("a", ~0ull - 5, 1)}, 100).find("reaches past"), std::string::npos);
  EXPECT_NE(directory_problem({member("a", 0, ~0ull)}, 100).find("reaches past"), std::string::npos);

  // Each member's span runs to the next local header, the last to the directory.
  const std::vector<ByteSpan> spans = member_spans(sound, 90);
  EXPECT_EQ(spans[0], (ByteSpan{41, 90}));
  EXPECT_EQ(spans[1], (ByteSpan{0, 41}));
}

TEST(UpdatePlan, MergesRangesAcrossSmallGapsOnly) {
  const std::vector<ByteSpan> merged =
      merge_spans({{300, 400}, {0, 100}, {100 + kRangeMergeGap, 250 + kRangeMergeGap}, {150, 200}, {350, 380}},
                  kRangeMergeGap);
  // 0..100 and the span a whole gap later join; 150..200 and 300..400 join the
  // one before (closer than the gap); 350..380 lies inside.
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0], (ByteSpan{0, 250 + kRangeMergeGap}));
  const std::vector<ByteSpan> apart = merge_spans({{0, 10}, {10 + kRangeMergeGap + 1, 20 + kRangeMergeGap}}, kRangeMergeGap);
  EXPECT_EQ(apart.size(), 2u);
  EXPECT_TRUE(merge_spans({}, kRangeMergeGap).empty());
}

TEST(UpdatePlan, FallsBackToTheFullDownloadWheneverInDoubt) {
  RouteFacts facts;
  facts.manifests_pinned = true;
  facts.seed_folders = true;
  EXPECT_EQ(full_download_reason(facts), "");
  RouteFacts download_only = facts;
  download_only.download_only = true;
  EXPECT_NE(full_download_reason(download_only), "");
  RouteFacts on_disk = facts;
  on_disk.archive_on_disk = true;
  EXPECT_NE(full_download_reason(on_disk), "");
  RouteFacts unpinned = facts;
  unpinned.manifests_pinned = false;
  EXPECT_NE(full_download_reason(unpinned), "");
  RouteFacts no_seeds = facts;
  no_seeds.seed_folders = false;
  EXPECT_NE(full_download_reason(no_seeds), "");
}

TEST(UpdatePlan, FindsSeedsInEarlierSetupFoldersWithoutFollowingLinks) {
  TempDir dir;
  const fs::path root = dir.path();
  write_file(root / "prod.2.0" / "bin" / "app.exe", "app 2.0");
  write_file(root / "prod.2.0" / "same-size.txt", "abcdefg");
  write_file(root / "prod.1.0" / "bin" / "APP.exe", "app 1.0");
  write_file(root / "prod.2.1" / "bin" / "app.exe", "longer app 2.1");
  write_file(root / "outside" / "bin" / "app.exe", "app 9.9");
  write_file(root / "other.2.0" / "bin" / "app.exe", "app 2.0");
  write_file(root / "prod.3.0", "a file, not a folder");
  write_file(root / "prod.2.1.staging" / "x", "the store");
  write_file(root / "prod.2.1.new" / "bin" / "app.exe", "app 2.0");
  // Where links cannot be made (Windows without the privilege), there are none to skip.
  std::error_code no_links;
  fs::create_directory_symlink(root / "outside", root / "prod.1.5", no_links);
  fs::create_symlink(root / "outside" / "bin" / "app.exe", root / "prod.2.0" / "linked.exe", no_links);

  const std::vector<std::wstring> folders = seed_folders(dir.folder(), L"prod", "2.1");
  // The folder being replaced first, then by version, highest first.
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0], wide(root / "prod.2.1" / ""));
  EXPECT_EQ(folders[1], wide(root / "prod.2.0" / ""));
  EXPECT_EQ(folders[2], wide(root / "prod.1.0" / ""));

  const SeedIndex index(folders);
  EXPECT_EQ(index.file_count(), 4u);  // the links are neither followed nor listed
  // Same path and size first (case folded, either separator), then any file of that size.
  const std::vector<std::wstring> found = index.candidates({"bin/app.exe"}, 7);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], wide(root / "prod.2.0" / "bin" / "app.exe"));
  EXPECT_EQ(found[1], wide(root / "prod.1.0" / "bin" / "APP.exe"));
  EXPECT_EQ(found[2], wide(root / "prod.2.0" / "same-size.txt"));
  EXPECT_TRUE(index.candidates({"..\\prod.2.0\\bin\\app.exe"}, 99).empty());
  EXPECT_EQ(index.candidates({"bin\\app.exe"}, 14).size(), 1u);
}

TEST(UpdatePlan, FetchesOnlyWhatNoSeedHoldsInArchiveOrder) {
  const std::vector<zip::MemberStat> members = {member("arcinfo.json", 0, 5), member("bbb", 900, 5),
                                                member("aaa", 500, 5), member("ccc", 100, 5)};
  const std::vector<ArcInfoEntry> entries = {{"aaa", {"a"}}, {"bbb", {"b"}}, {"ccc", {"c"}}, {"aaa", {"d"}}};
  const auto missing = missing_members(entries, {"ccc"}, members);
  ASSERT_TRUE(missing);
  EXPECT_EQ(*missing, (std::vector<std::size_t>{2, 1}));
  EXPECT_FALSE(missing_members({{"ddd", {"x"}}}, {}, members));
  EXPECT_TRUE(missing_members({{"ddd", {"x"}}}, {"ddd"}, members)->empty());
}
