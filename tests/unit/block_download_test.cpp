#include <filesystem>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/scripted_ui.h"
#include "common/temp_dir.h"
#include "formats/blockhash_list.h"
#include "platform/file.h"
#include "release/block_download.h"
#include "support/hashing.h"

namespace fs = std::filesystem;

namespace {

// Deterministic archive bytes: no two blocks alike.
std::string archive_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::vector<std::string> block_digests(const std::string& bytes, std::size_t block_size) {
  std::vector<std::string> digests;
  for (std::size_t first = 0; first < bytes.size(); first += block_size) {
    digests.push_back(md5_hex(bytes.substr(first, block_size)));
  }
  return digests;
}

std::string sha256_hex(const std::string& bytes) { return hash_buffer(bytes, L"SHA256", true); }

// A small release whose last block is short: 4 blocks of 1000 bytes, 3 whole.
struct LocalRelease {
  TempDir dir;
  std::string bytes = archive_bytes(3500);
  ReleaseInfo release;
  std::vector<std::string> digests;

  LocalRelease() {
    release.version = "1.0";
    release.filename = "setup.zip";
    release.blocksize = 1000;
    release.filesize = bytes.size();
    release.hash = sha256_hex(bytes);
    release.destination = dir.folder();
    digests = block_digests(bytes, 1000);
  }
  fs::path file() const { return dir.path() / "setup.zip"; }

  struct Prepared {
    bool opened;
    std::uint64_t first_block;
    std::string kept_digest;  // SHA-256 over the kept blocks
  };
  Prepared prepare(Progress& progress) {
    platform::File file;
    std::uint64_t first_block = 99;
    HashObject hash(L"SHA256");
    const bool opened = prepare_archive_file(release, progress, digests, file, first_block, &hash);
    return {opened, first_block, hash.finish(true)};
  }
};

}  // namespace

TEST(BlockGeometry, CountsAndRanges) {
  EXPECT_EQ(block_count(10'000'000, 4'194'304), 3u);
  EXPECT_EQ(block_count(8'388'608, 4'194'304), 2u);
  EXPECT_EQ(block_count(0, 4'194'304), 0u);
  EXPECT_EQ(block_count(1, 4'194'304), 1u);

  const BlockRange third = block_range(2, 4'194'304);
  EXPECT_EQ(third.first, 8'388'608);
  EXPECT_EQ(third.last, 12'582'911);  // the whole block size, also for the short last block

  // Ranges that a header could not express are capped, never wrapped.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(block_range(1, static_cast<std::uint64_t>(kMax)).last, kMax);
  EXPECT_EQ(block_range(3, static_cast<std::uint64_t>(kMax)).first, kMax);
}

TEST(BlockGeometry, TheBlockhashListHasRoomForItsBlocksOnly) {
  // The list as the publisher writes it, and pretty-printed, fit.
  std::vector<std::string> digests(1000, std::string(32, 'a'));
  const std::string compact = blockhash_list_text(digests);
  const std::string indented = nlohmann::json(digests).dump(4);
  EXPECT_LE(compact.size(), blockhash_list_limit(1000));
  EXPECT_LE(indented.size(), blockhash_list_limit(1000));
  EXPECT_LT(blockhash_list_limit(1000), 2 * compact.size());  // and nothing much longer
  EXPECT_EQ(blockhash_list_limit(0), 64u);
  EXPECT_EQ(blockhash_list_limit(std::numeric_limits<std::uint64_t>::max()), kMaxBlockhashListBytes);
  EXPECT_EQ(blockhash_list_limit(kMaxBlockhashListBytes), kMaxBlockhashListBytes);
}

TEST(BlockGeometry, RefusesSizesThatCannotDriveADownload) {
  ReleaseInfo release;
  release.version = "4.2.1";
  release.filesize = 100;
  EXPECT_EQ(block_geometry_problem("prod", release), "Release 4.2.1 of prod has no block size");
  release.blocksize = std::numeric_limits<std::uint64_t>::max();  // what a negative number reads as
  EXPECT_EQ(block_geometry_problem("prod", release), "Release 4.2.1 of prod has an invalid block size");
  release.blocksize = kMaxBlockSize + 1;  // more than a 32-bit launcher holds three times
  EXPECT_EQ(block_geometry_problem("prod", release), "Release 4.2.1 of prod has an invalid block size");
  release.blocksize = kMaxBlockSize;
  EXPECT_EQ(block_geometry_problem("prod", release), "");
  release.blocksize = 10;
  release.filesize = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(block_geometry_problem("prod", release), "Release 4.2.1 of prod has an invalid file size");
  release.filesize = 0;
  EXPECT_EQ(block_geometry_problem("prod", release), "");
}

TEST(ReleaseNames, KeyAndFileNameMustStayInsideTheirFolder) {
  ReleaseInfo release;
  release.version = "4.2.1";
  release.filename = "setup.zip";
  EXPECT_EQ(release_name_problem("prod", release), "");

  for (const char* key : {"", "..", "../../home", "4.2.1/..", "C:\\Windows", "a:b"}) {
    release.version = key;
    EXPECT_EQ(release_name_problem("prod", release), "prod offers a release whose name is not a valid folder name")
        << key;
  }
  release.version = "4.2.1";
  for (const char* name : {"", "../setup.zip", "/tmp/setup.zip", "sub/setup.zip", "C:setup.zip", "setup?.zip"}) {
    release.filename = name;
    EXPECT_EQ(release_name_problem("prod", release), "Release 4.2.1 of prod names an invalid archive file") << name;
  }
}

TEST(BlockMismatchReport, ListsDigestsSizesAndByteKinds) {
  const std::string received = std::string(25, '\0') + std::string(50, 'x') + std::string(25, '\xFF');
  EXPECT_EQ(block_mismatch_report(3, "expected", "received", 4194304, received),
            "Hash mismatch for downloaded block!\n"
            "Block: 3\n"
            "Expected:  expected\n"
            "Downloaded: received\n"
            "Block size: 4194304 downloaded size: 100\n"
            "Zeroes in block: 25 ( 25.000000 ) \n"
            "Ascii chars in block: 50 ( 50.000000 ) \n");

  // Nothing received: no byte statistics.
  EXPECT_EQ(block_mismatch_report(0, "e", "d", 16, ""),
            "Hash mismatch for downloaded block!\nBlock: 0\nExpected:  e\nDownloaded: d\n"
            "Block size: 16 downloaded size: 0\n");

  // 0x20 and 0x7F count as ASCII, 0x1F and 0x80 do not; shares keep six decimals.
  const std::string edges = std::string("\x20\x7F\x1F\x80\x00\x00", 6);
  const std::string report = block_mismatch_report(1, "e", "d", 6, edges);
  EXPECT_NE(report.find("Zeroes in block: 2 ( 33.333333 ) \n"), std::string::npos) << report;
  EXPECT_NE(report.find("Ascii chars in block: 2 ( 33.333333 ) \n"), std::string::npos) << report;
}

TEST(DownloadComplete, NeedsTheRightSizeAndDigest) {
  LocalRelease local;
  EXPECT_FALSE(is_download_complete(local.release));  // no file
  write_file(local.file(), local.bytes);
  EXPECT_TRUE(is_download_complete(local.release));

  ReleaseInfo other_size = local.release;
  other_size.filesize += 1;
  EXPECT_FALSE(is_download_complete(other_size));

  ReleaseInfo upper_case = local.release;
  for (char& c : upper_case.hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(is_download_complete(upper_case));

  std::string flipped = local.bytes;
  flipped[1234] ^= 1;
  write_file(local.file(), flipped);
  EXPECT_FALSE(is_download_complete(local.release));

  // A link to a complete archive is no archive of ours.
  write_file(local.dir.path() / "elsewhere.zip", local.bytes);
  fs::remove(local.file());
  std::error_code ec;
  fs::create_symlink(local.dir.path() / "elsewhere.zip", local.file(), ec);
  if (!ec) {
    EXPECT_FALSE(is_download_complete(local.release));
  }
}

TEST(PrepareArchive, StartsAFreshFileWhenNoneExists) {
  LocalRelease local;
  local.release.filename = "setup.zip";
  RecordedProgress progress;
  const auto prepared = local.prepare(progress);
  EXPECT_TRUE(prepared.opened);
  EXPECT_EQ(prepared.first_block, 0u);
  EXPECT_TRUE(fs::exists(local.file()));
  EXPECT_EQ(fs::file_size(local.file()), 0u);
  EXPECT_EQ(prepared.kept_digest, sha256_hex(""));
}

TEST(PrepareArchive, KeepsVerifiedWholeBlocksAndCutsTheRest) {
  struct Case {
    const char* what;
    std::size_t size_on_disk;
    std::uint64_t kept;
  };
  const Case cases[] = {
      {"cut mid-block", 2500, 2},
      {"whole blocks", 2000, 2},
      {"short last block only missing", 3000, 3},
      {"complete length but wrong digest", 3500, 3},
      {"less than one block", 999, 0},
  };
  for (const Case& c : cases) {
    LocalRelease local;
    local.release.hash = "not the digest";
    write_file(local.file(), local.bytes.substr(0, c.size_on_disk));
    RecordedProgress progress;
    const auto prepared = local.prepare(progress);
    EXPECT_TRUE(prepared.opened) << c.what;
    EXPECT_EQ(prepared.first_block, c.kept) << c.what;
    EXPECT_EQ(fs::file_size(local.file()), c.kept * 1000) << c.what;
    EXPECT_EQ(prepared.kept_digest, sha256_hex(local.bytes.substr(0, c.kept * 1000))) << c.what;
    // The bar starts at the blocks already there.
    EXPECT_EQ(progress.position, c.kept) << c.what;
  }
}

TEST(PrepareArchive, AppendsAfterTheKeptBlocks) {
  LocalRelease local;
  write_file(local.file(), local.bytes.substr(0, 1700));
  RecordedProgress progress;
  platform::File file;
  std::uint64_t first_block = 0;
  ASSERT_TRUE(prepare_archive_file(local.release, progress, local.digests, file, first_block));
  ASSERT_EQ(first_block, 1u);
  const std::string rest = local.bytes.substr(1000);
  ASSERT_TRUE(file.write(rest.data(), rest.size()));
  ASSERT_TRUE(file.close());
  EXPECT_EQ(read_file(local.file()), local.bytes);
}

TEST(PrepareArchive, DiscardsAFileWhoseBlocksDoNotMatch) {
  for (std::size_t bad_offset : {std::size_t{10}, std::size_t{1500}}) {
    LocalRelease local;
    std::string damaged = local.bytes.substr(0, 3000);
    damaged[bad_offset] ^= 0x40;
    write_file(local.file(), damaged);
    RecordedProgress progress;
    const auto prepared = local.prepare(progress);
    EXPECT_TRUE(prepared.opened);
    EXPECT_EQ(prepared.first_block, 0u) << bad_offset;
    EXPECT_EQ(fs::file_size(local.file()), 0u) << bad_offset;
    EXPECT_EQ(prepared.kept_digest, sha256_hex("")) << bad_offset;
    EXPECT_EQ(progress.position, 0u) << bad_offset;
  }
}

TEST(PrepareArchive, NeverVerifiesBeyondTheRelease) {
  // More whole blocks on disk than the release has: the surplus is cut, and
  // the check never asks the digest list for an element it lacks.
  LocalRelease local;
  std::string too_long = local.bytes.substr(0, 3000) + archive_bytes(5000);
  write_file(local.file(), too_long);
  RecordedProgress progress;
  const auto prepared = local.prepare(progress);
  EXPECT_EQ(prepared.first_block, 3u);
  EXPECT_EQ(fs::file_size(local.file()), 3000u);

  // A list shorter than the release (as a broken index could give) limits the check too.
  LocalRelease short_list;
  short_list.digests.resize(1);
  write_file(short_list.file(), short_list.bytes);
  RecordedProgress progress2;
  const auto prepared2 = short_list.prepare(progress2);
  EXPECT_EQ(prepared2.first_block, 1u);
  EXPECT_EQ(fs::file_size(short_list.file()), 1000u);
}

TEST(PrepareArchive, FailsWhenTheFileCannotBeCreated) {
  LocalRelease local;
  fs::create_directories(local.file());  // a folder in the archive's place
  fs::create_directories(local.file() / "inside");
  RecordedProgress progress;
  platform::File file;
  std::uint64_t first_block = 0;
  EXPECT_FALSE(prepare_archive_file(local.release, progress, local.digests, file, first_block));
}

// In a folder that others can write, a name may already lead elsewhere.
TEST(PrepareArchive, NeverWritesThroughALinkOrASecondName) {
  LocalRelease local;
  const fs::path elsewhere = local.dir.path() / "elsewhere.bin";
  const std::string first_blocks = local.bytes.substr(0, 2000);  // would be kept, were it the archive
  write_file(elsewhere, first_blocks);
  RecordedProgress progress;
  platform::File file;
  std::uint64_t first_block = 0;

  std::error_code ec;
  fs::create_symlink(elsewhere, local.file(), ec);
  if (!ec) {
    SCOPED_TRACE("a link: refused, and left as it is");
    EXPECT_FALSE(prepare_archive_file(local.release, progress, local.digests, file, first_block));
    EXPECT_TRUE(fs::is_symlink(local.file()));
    fs::remove(local.file());
  }
  {
    SCOPED_TRACE("a second name: replaced by a file of its own");
    fs::create_hard_link(elsewhere, local.file());
    ASSERT_TRUE(prepare_archive_file(local.release, progress, local.digests, file, first_block));
    EXPECT_EQ(first_block, 0u);
    ASSERT_TRUE(file.write("new", 3));
    file.close();
    EXPECT_EQ(read_file(local.file()), "new");
  }
  EXPECT_EQ(read_file(elsewhere), first_blocks);
}
