// The download stage against the local blob store: release index, version
// choice, blockhash list and the archive in byte ranges over HTTPS.
#include <filesystem>

#include <gtest/gtest.h>

#include "common/local_store.h"
#include "common/scripted_ui.h"
#include "common/small_disk.h"
#include "common/temp_dir.h"
#include "common/test_host.h"
#include "support/hooks.h"
#include "support/exceptions.h"
#include "release/block_download.h"
#include "app/setuplauncher.h"
#include "common/test_settings.h"
#include "release/release_index.h"
#include "platform/text.h"
#include "support/hashing.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::uint64_t kBlock = 65536;

std::string archive_bytes(std::size_t size, std::uint32_t seed = 7) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

json digest_list(const std::string& bytes, std::uint64_t block_size) {
  json list = json::array();
  for (std::size_t first = 0; first < bytes.size(); first += block_size) {
    list.push_back(md5_hex(bytes.substr(first, block_size)));
  }
  return list;
}

std::string sha256_hex(const std::string& bytes) { return hash_buffer(bytes, L"SHA256", true); }

// The message part of a log line ("source(line): message").
std::string message_of(const std::string& line) {
  const auto colon = line.find("): ");
  return colon == std::string::npos ? line : line.substr(colon + 3);
}

class DownloadStage : public ::testing::Test {
 protected:
  void SetUp() override {
    product = local_store::unique_name("dlprod");
    container = local_store::unique_name("dlarc");
    ASSERT_TRUE(local_store::create_container(product + "-v2")) << "is the local store running? scripts/azurite start";
    ASSERT_TRUE(local_store::create_container(container));
    ui.version_answers.push_back(choose(0, false, dest.folder()));
  }

  // Uploads the archive and its blockhash list and returns the index entry.
  json publish(const std::string& bytes, std::uint64_t block_size = kBlock, const std::string& filename = "setup.zip") {
    EXPECT_TRUE(local_store::put_blob(container, filename, bytes));
    EXPECT_TRUE(local_store::put_blob(container, filename + ".md5", digest_list(bytes, block_size).dump()));
    return {{"release", "Release 1.0"},        {"containername", container}, {"filename", filename},
            {"blockhash", filename + ".md5"},  {"blocksize", block_size},    {"filesize", bytes.size()},
            {"hash", sha256_hex(bytes)},       {"required_setup", 4}};
  }

  void put_index(const json& index) { ASSERT_TRUE(local_store::put_blob(product + "-v2", "index", index.dump())); }
  void put_index(const std::string& key, const json& entry) {
    put_index(json{{"current_release", key}, {"releases", {{key, entry}}}});
  }

  fs::path archive(const std::string& filename = "setup.zip") const { return dest.path() / filename; }

  // Runs the stage and returns the message it failed with; empty on success.
  std::string run() {
    try {
      release = download_setup(settings, user_answers(ui, {}), wide_from_utf8(product)).release;
    } catch (const DownloadException& e) {
      return e.what();
    }
    return {};
  }

  // The stage failed with exactly this message: its throw line, then the timer line.
  void expect_failure(const std::string& message) {
    EXPECT_EQ(run(), message);
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& throw_line = lines[lines.size() - 2];
    EXPECT_EQ(throw_line.rfind("netrelease_functions(", 0), 0u) << throw_line;
    EXPECT_EQ(message_of(throw_line), "throwing DownloadException(" + message + ")");
    EXPECT_EQ(lines.back().rfind("netrelease_functions(", 0), 0u) << lines.back();
    EXPECT_EQ(message_of(lines.back()).rfind("downloadSetup: elapsed seconds: ", 0), 0u) << lines.back();
  }

  Settings settings = settings_for(local_store::blob_service());
  LogCapture log;
  ScriptedUi ui;
  TempDir dest;
  std::string product;
  std::string container;
  ReleaseInfo release;
};

// A launcher built with an index key, and releases whose indexes the openssl
// command line signed (tests/data/signatures). Their archive and blockhash
// list lie in the one container the indexes name.
class SignedDownloadStage : public DownloadStage {
 protected:
  void SetUp() override {
    DownloadStage::SetUp();
    settings.index_keys = {test_data("signatures/p256.pub")};
    ASSERT_TRUE(local_store::create_container("signedfixture"));
    ASSERT_TRUE(local_store::put_blob("signedfixture", "release.bin", test_data("signatures/release.bin")));
    ASSERT_TRUE(local_store::put_blob("signedfixture", "release.md5", test_data("signatures/release.md5")));
  }

  void put_signed(const std::string& index_name, const std::string& signature_name) {
    ASSERT_TRUE(local_store::put_blob(product + "-v2", "index", test_data("signatures/" + index_name + ".json")));
    ASSERT_TRUE(
        local_store::put_blob(product + "-v2", "index.sig", test_data("signatures/" + signature_name + ".sig")));
  }
  void put_signed(const std::string& name) { put_signed(name, name); }
  fs::path state_file() const { return state.folder() / (product + ".index-sequence"); }

  // Refused before a release was offered and anything written.
  void expect_refusal(const std::string& message) {
    const std::size_t questions = ui.version_questions.size();
    const std::string state_before = fs::exists(state_file()) ? read_file(state_file()) : "";
    ui.version_answers.assign({choose(0, false, dest.folder())});
    expect_failure(product + " release index " + message);
    EXPECT_EQ(ui.version_questions.size(), questions);
    EXPECT_FALSE(fs::exists(archive("release.bin")));
    EXPECT_EQ(fs::exists(state_file()) ? read_file(state_file()) : "", state_before);
  }

  StateFolderCapture state;
};

}  // namespace

TEST_F(DownloadStage, FreshDownloadWithAShortLastBlock) {
  const std::string bytes = archive_bytes(2 * kBlock + 1000);
  json index = {{"current_release", "4.2.1"},
                {"releases", {{"4.2.1", publish(bytes)}, {"4.1.0", {{"release", "old"}}}, {"4.3.0", {}}}}};
  index["releases"]["4.2.1"]["release"] = "Brelvant 4.2.1";
  put_index(index);

  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive()) == bytes);
  EXPECT_EQ(release.version, "4.2.1");
  EXPECT_EQ(release.filesize, bytes.size());
  EXPECT_EQ(release.destination, dest.folder());
  ASSERT_EQ(ui.version_questions.size(), 1u);
  EXPECT_EQ(ui.version_questions[0].entries, (std::vector<std::wstring>{L"Brelvant 4.2.1", L"old"}));

  ASSERT_EQ(ui.progress_windows.size(), 1u);
  const ProgressRecord& window = *ui.progress_windows[0];
  EXPECT_EQ(window.captions.front(), L"Fortschritt / Progress (download)");
  EXPECT_EQ(window.max, 3u);
  EXPECT_EQ(window.steps, 3u);
  EXPECT_GE(ui.pumped, 3u);
  // A download that goes well writes only the stage's timer line.
  const auto lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(message_of(lines.back()).rfind("downloadSetup: elapsed seconds: ", 0), 0u);
  for (const auto& line : lines) EXPECT_EQ(line.find("throwing"), std::string::npos) << line;
}

TEST_F(DownloadStage, EmptyArchive) {
  put_index("1.0", publish(""));
  EXPECT_EQ(run(), "");
  ASSERT_TRUE(fs::exists(archive()));
  EXPECT_EQ(fs::file_size(archive()), 0u);
}

TEST_F(DownloadStage, ResumesAfterTheVerifiedBlocks) {
  const std::string bytes = archive_bytes(3 * kBlock + 10);
  put_index("1.0", publish(bytes));
  write_file(archive(), bytes.substr(0, kBlock + kBlock / 2));  // cut mid-block

  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive()) == bytes);
  const ProgressRecord& window = *ui.progress_windows.at(0);
  // One step for the block kept, three for the blocks fetched, and the bar
  // never went back to zero.
  EXPECT_EQ(window.steps, 4u);
  EXPECT_EQ(window.position, 4u);
}

TEST_F(DownloadStage, DiscardsAPartialFileWhoseFirstBlockIsWrong) {
  const std::string bytes = archive_bytes(3 * kBlock);
  put_index("1.0", publish(bytes));
  std::string damaged = bytes.substr(0, 2 * kBlock);
  damaged[100] ^= 1;
  write_file(archive(), damaged);

  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive()) == bytes);
  const ProgressRecord& window = *ui.progress_windows.at(0);
  EXPECT_EQ(window.steps, 4u);     // the failed check, then three blocks
  EXPECT_EQ(window.position, 3u);  // reset to zero before them
}

TEST_F(DownloadStage, ACompleteArchiveIsKeptButTheBlockhashListStillMatters) {
  const std::string bytes = archive_bytes(2 * kBlock);
  json entry = publish(bytes);
  write_file(archive(), bytes);
  // A list of the wrong length does not matter once the archive is complete.
  ASSERT_TRUE(local_store::put_blob(container, "short.md5", "[\"x\"]"));
  entry["blockhash"] = "short.md5";
  put_index("1.0", entry);

  EXPECT_EQ(run(), "");
  EXPECT_TRUE(ui.progress_windows.empty());
  EXPECT_EQ(release.version, "1.0");

  // Without its list the run fails although the archive is there.
  entry["blockhash"] = "missing.md5";
  put_index("1.0", entry);
  ui.version_answers.push_back(choose(0, false, dest.folder()));
  expect_failure("Cannot download blockhash file");
  EXPECT_TRUE(read_file(archive()) == bytes);
}

TEST_F(DownloadStage, OfferedReleasesFollowTheIndex) {
  const json entry = publish("x");
  json index = {{"current_release", "4.2.1"},
                {"releases",
                 {{"4.2.1", {{"release", "a"}}}, {"4.1.0", {{"release", "b"}}}, {"4.3.0", {{"release", "c"}}},
                  {"3.9.9", {{"release", "d"}}}}}};
  index["releases"]["4.1.0"].update(entry);
  index["releases"]["4.1.0"]["release"] = "b";
  put_index(index);
  ui.version_answers.front() = choose(2, true, dest.folder());  // the third entry: 4.1.0

  EXPECT_EQ(run(), "");
  EXPECT_EQ(ui.version_questions.at(0).entries, (std::vector<std::wstring>{L"a", L"d", L"b"}));
  EXPECT_EQ(release.version, "4.1.0");
  EXPECT_TRUE(release.download_only);

  index["forbid_release_selection"] = false;
  put_index(index);
  ui.version_answers.push_back(choose(0, false, dest.folder()));
  run();
  EXPECT_EQ(ui.version_questions.at(1).entries, (std::vector<std::wstring>{L"a"}));
}

TEST_F(DownloadStage, CancelEndsTheStageQuietly) {
  put_index("1.0", publish("abc"));
  ui.version_answers.clear();
  EXPECT_THROW(download_setup(settings_for(local_store::blob_service()), user_answers(ui, {}), wide_from_utf8(product)),
               AbortException);
  const auto lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(message_of(lines[lines.size() - 2]), "throwing AbortException");
  EXPECT_EQ(message_of(lines.back()).rfind("downloadSetup: elapsed seconds: ", 0), 0u);
  EXPECT_FALSE(fs::exists(archive()));
}

TEST_F(DownloadStage, FailuresBeforeTheDownload) {
  {
    SCOPED_TRACE("no product");
    product.clear();
    expect_failure("strProduct is empty");
  }
  {
    SCOPED_TRACE("no index");
    product = local_store::unique_name("dlnone");
    expect_failure(product + " is not available for download");
  }
  product = local_store::unique_name("dlprod");
  ASSERT_TRUE(local_store::create_container(product + "-v2"));
  {
    SCOPED_TRACE("truncated index");
    ASSERT_TRUE(local_store::put_blob(product + "-v2", "index", "{\"current_release\": \"1.0\", \"rel"));
    expect_failure(product + " is not available for download");
  }
  const std::string bytes = archive_bytes(kBlock + 5);
  const json good = publish(bytes);
  ASSERT_TRUE(local_store::put_blob(container, "object.md5", "{\"not\": \"a list\"}"));
  struct Case {
    const char* what;
    json changes;
    std::string message;
  };
  const Case cases[] = {
      {"newer launcher", {{"required_setup", 5}}, product + " requires a newer downloader"},
      {"negative launcher version", {{"required_setup", -1}}, product + " requires a newer downloader"},
      {"no blockhash list", {{"blockhash", "nothing.md5"}}, "Cannot download blockhash file"},
      {"no container", {{"containername", ""}},
       "Release 1.0 of " + product + " names an invalid container: it must have 3 to 63 characters"},
      {"list outside its container", {{"blockhash", "../" + product + "-v2/index"}},
       "Release 1.0 of " + product + " names an invalid blockhash list: it must not hold empty, \".\" or \"..\" parts"},
      {"list not an array", {{"blockhash", "object.md5"}}, "Cannot download blockhash file"},
      {"list longer than two blocks allow", {{"blockhash", "setup.zip"}},
       "Blockhash file is longer than release 1.0 of " + product + " allows"},
      {"list too long", {{"filesize", kBlock}}, "Number of expected blockhashes does not match"},
      {"no block size", {{"blocksize", nullptr}}, "Release 1.0 of " + product + " has no block size"},
      {"zero block size", {{"blocksize", 0}}, "Release 1.0 of " + product + " has no block size"},
      {"negative block size", {{"blocksize", -4096}}, "Release 1.0 of " + product + " has an invalid block size"},
      {"negative file size", {{"filesize", -1.5}}, "Release 1.0 of " + product + " has an invalid file size"},
      {"wrong digest", {{"hash", std::string(64, '0')}}, "Hash mismatch for downloaded file!"},
      {"upper-case digest", {{"hash", [&] {
                                std::string upper = sha256_hex(bytes);
                                for (char& c : upper) c = static_cast<char>(std::toupper(c));
                                return upper;
                              }()}},
       "Hash mismatch for downloaded file!"},
      {"archive missing", {{"filename", "gone.zip"}, {"blockhash", "setup.zip.md5"}}, "Error during downloading archive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    json entry = good;
    entry.update(c.changes);
    if (entry["blocksize"].is_null()) entry.erase("blocksize");
    put_index("1.0", entry);
    fs::remove(archive(entry["filename"].get<std::string>()));
    ui.version_answers.assign({choose(0, false, dest.folder())});
    expect_failure(c.message);
  }
  // A digest mismatch keeps the file for the next run to check again.
  EXPECT_TRUE(read_file(archive()) == bytes);
}

TEST_F(DownloadStage, NamesFromTheIndexNeverLeaveTheDestination) {
  const json good = publish(archive_bytes(100));
  const std::string folder_message = product + " offers a release whose name is not a valid folder name";
  const std::string file_message = "Release 1.0 of " + product + " names an invalid archive file";
  struct Case {
    std::string key;
    std::string filename;
    std::string message;
  };
  const Case cases[] = {
      {"..", "setup.zip", folder_message},
      {"", "setup.zip", folder_message},
      {"../../victim", "setup.zip", folder_message},
      {"C:\\Windows", "setup.zip", folder_message},
      {"1.0", "../escaped.zip", file_message},
      {"1.0", "sub/setup.zip", file_message},
      {"1.0", "/tmp/absolute.zip", file_message},
      {"1.0", "", file_message},
      {"1.0", "D:setup.zip", file_message},
      {"1.0", "setup?.zip", file_message},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + " / " + c.filename);
    json entry = good;
    entry["filename"] = c.filename;
    put_index(c.key, entry);
    ui.version_answers.assign({choose(0, false, dest.folder())});
    expect_failure(c.message);
  }
  // Nothing was written, inside the destination or next to it.
  EXPECT_TRUE(fs::is_empty(dest.path()));
  EXPECT_FALSE(fs::exists(dest.path().parent_path() / "escaped.zip"));
}

TEST_F(DownloadStage, AnArchivePathThatIsAFolderCannotBeOpened) {
  put_index("1.0", publish(archive_bytes(kBlock)));
  fs::create_directories(archive() / "inside");
  expect_failure("Cannot open arc file");
}

// In a folder that others can write, the archive's name may already lead
// elsewhere.
TEST_F(DownloadStage, ALinkInTheArchivesPlaceIsNeverWrittenThrough) {
  const std::string bytes = archive_bytes(2 * kBlock);
  put_index("1.0", publish(bytes));
  TempDir elsewhere;
  write_file(elsewhere.path() / "victim.bin", bytes.substr(0, kBlock));  // a first block worth resuming
  std::error_code ec;
  fs::create_symlink(elsewhere.path() / "victim.bin", archive(), ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  expect_failure("Cannot open arc file");
  EXPECT_TRUE(fs::is_symlink(archive()));
  EXPECT_TRUE(read_file(elsewhere.path() / "victim.bin") == bytes.substr(0, kBlock));
}

// ---------------------------------------------------------------------------
// Free space: checked before the first block is fetched
// ---------------------------------------------------------------------------

using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::wstring&)>;

TEST_F(DownloadStage, NeedsFreeSpaceForTheMissingBlocksOnly) {
  const std::string bytes = archive_bytes(3 * kBlock + 10);
  put_index("1.0", publish(bytes));
  write_file(archive(), bytes.substr(0, kBlock + 100));  // one block to keep
  const std::uint64_t missing = bytes.size() - kBlock;
  std::uint64_t free = missing - 1;
  std::vector<std::wstring> asked;
  const ScopedHook<FreeSpaceQuery> disk(&Hooks::free_disk_space, [&](const std::wstring& folder) {
    asked.push_back(folder);
    return std::optional<std::uint64_t>(free);
  });
  expect_failure("Not enough free disk space in " + utf8_from_wide(dest.folder()) + ": " + std::to_string(missing) +
                 " bytes needed, " + std::to_string(missing - 1) + " bytes free");
  EXPECT_EQ(asked, std::vector<std::wstring>{dest.folder()});
  EXPECT_TRUE(read_file(archive()) == bytes.substr(0, kBlock));  // kept for the next attempt

  free = missing;
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive()) == bytes);
}

TEST_F(DownloadStage, OntoASmallDisk) {
  SKIP_UNDER_WINE("a Windows program cannot mount a disk");
  const SmallDisk disk(dest.path() / "disk", 256u << 10);
  ASSERT_EQ(disk.problem(), "");
  put_index("1.0", publish(archive_bytes(8 * kBlock)));
  ui.version_answers.assign({choose(0, false, disk.folder())});
  {
    SCOPED_TRACE("refused before the first block");
    const std::string message = run();
    const std::string expected = "Not enough free disk space in " + utf8_from_wide(disk.folder()) + ": " +
                                 std::to_string(8 * kBlock) + " bytes needed, ";
    EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
  }
  {
    // Every write fails once the disk is full, while the blocks themselves
    // are good: only the failed write can tell.
    SCOPED_TRACE("a disk that fills up on the way");
    const ScopedHook<FreeSpaceQuery> plenty(&Hooks::free_disk_space, [](const std::wstring&) { return 1ull << 40; });
    ui.version_answers.assign({choose(0, false, disk.folder())});
    expect_failure("Error during file write!");
  }
}

TEST_F(SignedDownloadStage, ASignedIndexIsUsedAndItsSequenceKept) {
  put_signed("index-2");
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive("release.bin")) == test_data("signatures/release.bin"));
  EXPECT_EQ(read_file(state_file()), "2\n");

  // A second run of the same index is fine; the older one is not, although
  // genuine.
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "");
  fs::remove(archive("release.bin"));
  put_signed("index-1");
  expect_refusal("is older than the one seen before");
}

TEST_F(SignedDownloadStage, WhatIsNotSignedOrCurrentIsRefusedBeforeAnything) {
  {
    SCOPED_TRACE("no index.sig");
    ASSERT_TRUE(local_store::put_blob(product + "-v2", "index", test_data("signatures/index-2.json")));
    expect_refusal("signature is not valid");
  }
  {
    SCOPED_TRACE("a changed index");
    put_signed("index-2");
    std::string changed = test_data("signatures/index-2.json");
    changed.replace(changed.find("\"sequence\": 2"), 13, "\"sequence\": 9");
    ASSERT_TRUE(local_store::put_blob(product + "-v2", "index", changed));
    expect_refusal("signature is not valid");
  }
  {
    SCOPED_TRACE("another index's signature");
    put_signed("index-2", "index-1");
    expect_refusal("signature is not valid");
  }
  {
    SCOPED_TRACE("expired");
    put_signed("index-3-expired");
    expect_refusal("has expired");
  }
  EXPECT_FALSE(fs::exists(state.folder()));
}

TEST_F(SignedDownloadStage, ADamagedStateIsTakenAsNothingSeen) {
  write_file(state_file(), "garbage");
  put_signed("index-1");
  EXPECT_EQ(run(), "");
  EXPECT_EQ(read_file(state_file()), "1\n");
  EXPECT_NE(log.text().find("unreadable or damaged; taken as nothing seen"), std::string::npos) << log.text();
}

TEST_F(SignedDownloadStage, TheBlockhashListMustHaveTheSignedDigest) {
  put_signed("index-4-wrong-list");
  expect_failure("Cannot download blockhash file");
  EXPECT_NE(log.text().find("Blockhash list signedfixture/release.md5 has the SHA-256 "), std::string::npos)
      << log.text();
  EXPECT_FALSE(fs::exists(archive("release.bin")));

  // Without index keys the launcher reads neither signature nor digest.
  settings.index_keys.clear();
  ASSERT_TRUE(local_store::put_blob(product + "-v2", "index.sig", "damaged"));
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive("release.bin")) == test_data("signatures/release.bin"));
}
