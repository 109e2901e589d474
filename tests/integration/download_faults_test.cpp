// The download stage against a server that damages blocks on purpose, sends
// what was not asked for, or is down while a second host is not.
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "archive/stream_unpack.h"
#include "common/fault_server.h"
#include "common/release_fixture.h"
#include "common/scripted_ui.h"
#include "common/temp_dir.h"
#include "common/test_host.h"
#include "support/exceptions.h"
#include "release/block_download.h"
#include "app/setuplauncher.h"
#include "common/test_settings.h"
#include "support/hooks.h"
#include "release/release_index.h"
#include "platform/http.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/hashing.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kBlock = 65536;
const std::string kArchive = "/rel/setup.zip";
const std::string kList = "/rel/setup.md5";
const std::string kIndex = "/prod-v2/index";
const std::string kFirst = "bytes=0-65535";
const std::string kSecond = "bytes=65536-131071";
const std::string kLast = "bytes=131072-196607";

std::string message_of(const std::string& line) {
  const auto colon = line.find("): ");
  return colon == std::string::npos ? line : line.substr(colon + 3);
}

class DamagedBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_FAULT_SERVER(server);

    publish();
    ui.version_answers.push_back(choose(0, false, dest.folder()));
  }

  // Serves `bytes` as release 1.0 of "prod": index, block list and archive.
  void publish() { publish_on(server); }
  void publish_on(FaultServer& store) {
    json list = json::array();
    for (std::size_t first = 0; first < bytes.size(); first += kBlock) list.push_back(md5_hex(bytes.substr(first, kBlock)));
    const json entry = {{"release", "1.0"},         {"containername", "rel"}, {"filename", "setup.zip"},
                        {"blockhash", "setup.md5"}, {"blocksize", kBlock},  {"filesize", bytes.size()},
                        {"hash", hash_buffer(bytes, L"SHA256", true)}};
    store.set_content(kIndex, json{{"current_release", "1.0"}, {"releases", {{"1.0", entry}}}}.dump());
    store.set_content(kList, list.dump());
    store.set_content(kArchive, bytes);
  }

  std::string run(const std::vector<HttpService>& fallbacks = {}) { return run(server.service(), fallbacks); }
  std::string run(const HttpService& first, const std::vector<HttpService>& fallbacks) {
    try {
      release = download_setup(settings_for(first, fallbacks), user_answers(ui, {}), L"prod").release;
    } catch (const DownloadException& e) {
      return e.what();
    }
    return {};
  }

  // The download with the archive unpacked into the staging store beside it.
  std::string run_unpacking(std::unique_ptr<StreamingUnpack>& unpacking) {
    try {
      release = download_setup(settings_for(server.service()), user_answers(ui, {}), L"prod", &unpacking).release;
    } catch (const DownloadException& e) {
      return e.what();
    }
    return {};
  }

  // The Range values of the archive requests, in order.
  std::vector<std::string> archive_ranges() const {
    std::vector<std::string> ranges;
    for (const auto& request : server.requests()) {
      if (request.path == kArchive) ranges.push_back(request.header("Range"));
    }
    return ranges;
  }
  int count_of(const std::string& range) const {
    const auto ranges = archive_ranges();
    return static_cast<int>(std::count(ranges.begin(), ranges.end(), range));
  }

  FaultServer server;
  LogCapture log;
  ScriptedUi ui;
  TempDir dest;
  ReleaseInfo release;
  std::string bytes = test_pattern(2 * kBlock + 100);
  std::vector<unsigned> waits;
  ScopedHook<std::function<void(unsigned)>> counted_waits{&Hooks::sleep_ms,
                                                          [this](unsigned milliseconds) { waits.push_back(milliseconds); }};
};

}  // namespace

TEST_F(DamagedBlocks, OneRequestCarriesEveryBlock) {
  bytes = test_pattern(5 * kBlock + 100);
  publish();
  // The answer stops for a while inside the second block: the blocks before
  // are taken as they come, and the rest follows in the same answer.
  server.set_rule(kArchive, {{"stall_seconds", 0.3}, {"stall_after", kBlock + kBlock / 2}, {"stall_times", 1}});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
  // Whole blocks asked for, the short last one included.
  EXPECT_EQ(archive_ranges(), (std::vector<std::string>{"bytes=0-393215"}));
  EXPECT_EQ(ui.progress_windows.at(0)->steps, 6u);
}

TEST_F(DamagedBlocks, AFreshDownloadAsksForItsBlocksBeforeTheList) {
  const auto paths = [this] {
    std::vector<std::string> seen;
    for (const auto& request : server.requests()) seen.push_back(request.path);
    return seen;
  };
  EXPECT_EQ(run(), "");
  EXPECT_EQ(paths(), (std::vector<std::string>{kIndex, kArchive, kList}));
  const auto fresh = server.requests();

  // What an earlier run left needs the digests first.
  server.reset();
  publish();
  write_file(dest.path() / "setup.zip", bytes.substr(0, kBlock + 7));
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "");
  EXPECT_EQ(paths(), (std::vector<std::string>{kIndex, kList, kArchive}));

  // The blocks went where the index came from, with no new connection to wait for.
  SKIP_UNDER_WINE("WinINet picks its connections itself");
  EXPECT_EQ(fresh[1].client_port, fresh[0].client_port);
}

TEST_F(DamagedBlocks, ABlockDamagedTwiceCostsTwoPausesAndIsWrittenOnce) {
  server.set_rule(kArchive, {{"corrupt_times", 2}, {"corrupt_at", 0}});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
  EXPECT_EQ(waits, (std::vector<unsigned>{2000, 2000}));
  EXPECT_EQ(ui.progress_windows.at(0)->steps, 5u);
  // A damaged block costs only itself: the answer carrying the blocks after
  // it goes on after the pauses.
  EXPECT_EQ(archive_ranges(), (std::vector<std::string>{"bytes=0-196607", kFirst, kFirst}));
}

TEST_F(DamagedBlocks, DamagedAnswersCostOneFetchEachWhereverTheBlockIs) {
  bytes = test_pattern(4 * kBlock + 100);
  const std::vector<std::string> blocks = {kFirst, kSecond, kLast, "bytes=196608-262143", "bytes=262144-327679"};
  // The middle, the one before the last (checked once the last one is
  // already here) and the short last one.
  for (const std::size_t damaged : {1u, 3u, 4u}) {
    SCOPED_TRACE(blocks[damaged]);
    server.reset();
    publish();
    server.set_rule(kArchive, {{"corrupt_times", 2}, {"corrupt_at", damaged * kBlock + 50}});
    fs::remove_all(dest.path() / "setup.zip");
    ui.version_answers.assign({choose(0, false, dest.folder())});
    EXPECT_EQ(run(), "");
    EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
    // Five blocks in one answer, and the damaged one twice more alone.
    EXPECT_EQ(archive_ranges(), (std::vector<std::string>{"bytes=0-327679", blocks[damaged], blocks[damaged]}));
  }
}

TEST_F(DamagedBlocks, OnlyTheRangeAskedForIsTaken) {
  // A body that goes on after the blocks is read no further than them.
  server.set_rule(kArchive, {{"endless", true}});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
  fs::remove(dest.path() / "setup.zip");

  // A server that ignores ranges sends the whole archive: what a fresh
  // download asks for, but not what follows a kept block.
  server.set_rule(kArchive, {{"ignore_range", true}});
  write_file(dest.path() / "setup.zip", bytes.substr(0, kBlock));
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "Error during downloading archive");
  EXPECT_EQ(fs::file_size(dest.path() / "setup.zip"), kBlock);
  fs::remove(dest.path() / "setup.zip");
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
}

TEST_F(DamagedBlocks, TheIndexAndTheBlockListHaveCaps) {
  server.set_content(kIndex, "{\"releases\": \"" + std::string(kMaxIndexBytes, 'x') + "\"}");
  EXPECT_EQ(run(), "The release index of prod is larger than 1 MiB");

  publish();
  // Three blocks leave no room for a list of ten thousand digests.
  server.set_content(kList, json(std::vector<std::string>(10000, md5_hex("x"))).dump());
  ui.version_answers.assign({choose(0, false, dest.folder())});
  EXPECT_EQ(run(), "Blockhash file is longer than release 1.0 of prod allows");
  EXPECT_FALSE(fs::exists(dest.path() / "setup.zip"));
}

TEST_F(DamagedBlocks, ABlockRightOnTheLastAttemptPasses) {
  server.set_rule(kArchive, {{"corrupt_times", 24}, {"corrupt_at", 0}});
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
  EXPECT_EQ(waits.size(), 24u);
}

TEST_F(DamagedBlocks, ABlockDamagedEveryTimeEndsWithTheReport) {
  server.set_rule(kArchive, {{"corrupt_times", 1000}, {"corrupt_at", 0}});
  std::string received = bytes.substr(0, kBlock);
  received[0] = static_cast<char>(received[0] ^ 0xFF);
  const std::string report =
      block_mismatch_report(0, md5_hex(bytes.substr(0, kBlock)), md5_hex(received), kBlock, received);
  ASSERT_NE(report.find("Zeroes in block: "), std::string::npos);

  EXPECT_EQ(run(), report);
  EXPECT_EQ(waits.size(), 24u);
  EXPECT_EQ(count_of(kFirst), 24);  // and the first answer, for every block
  // The 25 answers for the first block, and the second block, which arrived
  // while the first one's check ran.
  EXPECT_EQ(ui.progress_windows.at(0)->steps, 26u);
  EXPECT_EQ(fs::file_size(dest.path() / "setup.zip"), 0u);  // nothing damaged was written
  const auto lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  // The report spans several lines; the log holds its throw line first.
  // (The log is a text file: on Windows each of those lines ends in CR LF.)
  std::string text = log.text();
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  EXPECT_NE(text.find("throwing DownloadException(" + report + ")"), std::string::npos);
  EXPECT_EQ(message_of(lines.back()).rfind("downloadSetup: elapsed seconds: ", 0), 0u);
}

TEST_F(DamagedBlocks, AResumedDownloadFetchesOnlyTheMissingBlocks) {
  write_file(dest.path() / "setup.zip", bytes.substr(0, kBlock + 7));
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
  EXPECT_EQ(archive_ranges(), (std::vector<std::string>{"bytes=65536-196607"}));
}

TEST_F(DamagedBlocks, ACompleteArchiveIsNotFetchedAgain) {
  write_file(dest.path() / "setup.zip", bytes);
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(archive_ranges().empty());
  EXPECT_TRUE(ui.progress_windows.empty());
}

// Two download hosts: the first down or in trouble, the second serving.
class SecondHost : public DamagedBlocks {
 protected:
  void SetUp() override {
    DamagedBlocks::SetUp();
    SKIP_WITHOUT_FAULT_SERVER(origin);
    publish_on(origin);
  }

  // Everything came from the second host, and the log says so once per object.
  void expect_served_by_origin() {
    EXPECT_TRUE(read_file(dest.path() / "setup.zip") == bytes);
    const std::string origin_host = "localhost:" + std::to_string(origin.port());
    const std::string text = log.text();
    for (const char* object : {"prod-v2/index", "rel/setup.md5", "rel/setup.zip"}) {
      const std::string line = std::string(object) + " served by " + origin_host;
      EXPECT_NE(text.find(line), std::string::npos) << line;
      EXPECT_EQ(text.find(line), text.rfind(line)) << line;
    }
    EXPECT_EQ(origin.requests().size(), 3u);  // the index, the list and the archive, each once
  }

  FaultServer origin{TestCertificate::trusted, 1};
};

TEST_F(SecondHost, TakesOverWhenTheFirstAnswers500) {
  server.reset();
  for (const std::string& path : {kIndex, kList, kArchive}) {
    server.set_rule(path, {{"fail_times", 1000}, {"fail_status", 500}});
  }
  EXPECT_EQ(run({origin.service()}), "");
  // Three attempts at the first host, for the index; nothing more.
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(waits.size(), 2u);
  expect_served_by_origin();
}

TEST_F(SecondHost, TakesOverWhenTheFirstIsDown) {
  HttpService down = server.service();
  down.port = 1;
  EXPECT_EQ(run(down, {origin.service()}), "");
  EXPECT_EQ(waits.size(), 2u);
  expect_served_by_origin();
}

// Not a test of its own: the download stage as a separate process, told by
// the environment where to fetch from, for the test below and for the
// benchmarks in bench/ (run it with --gtest_also_run_disabled_tests).
TEST(DownloadChild, DISABLED_RunFromEnvironment) {
  const auto setting = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  if (setting("LAUNCHER_CHILD_DEST").empty()) GTEST_SKIP() << "run by the process that sets LAUNCHER_CHILD_*";
  HttpService store;
  store.host = wide_from_utf8(setting("LAUNCHER_CHILD_HOST"));
  store.port = std::atoi(setting("LAUNCHER_CHILD_PORT").c_str());
  store.ca_file = setting("LAUNCHER_CHILD_CA");
  ScriptedUi ui;
  ui.version_answers.push_back(choose(0, false, wide_from_utf8(setting("LAUNCHER_CHILD_DEST"))));
  download_setup(settings_for(store), user_answers(ui, {}), wide_from_utf8(setting("LAUNCHER_CHILD_PRODUCT")));
}

TEST_F(DamagedBlocks, ARunKilledMidDownloadIsResumedByTheNext) {
  // Needs a shell to start and kill the other process, and a way to find this executable.
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec || !fs::exists("/bin/sh")) GTEST_SKIP() << "no shell or no /proc on this platform";

  // Eight blocks, the answer stopping for long after the third, so that the
  // kill lands mid-download.
  bytes = test_pattern(8 * kBlock);
  publish();
  server.set_rule(kArchive, {{"stall_seconds", 5}, {"stall_after", 3 * kBlock}});

  const fs::path archive = dest.path() / "setup.zip";
  // The other process must trust the CA the fixture made in the build folder.
  fs::path ca;
  for (const auto& entry : fs::directory_iterator(LAUNCHER_BINARY_DIR)) {
    const fs::path candidate = entry.path() / "ca.crt";
    if (entry.path().filename().string().rfind("faultserver-pki", 0) == 0 && fs::exists(entry.path() / "done") &&
        (ca.empty() || fs::last_write_time(candidate) > fs::last_write_time(ca))) {
      ca = candidate;
    }
  }
  ASSERT_FALSE(ca.empty()) << "no fault server certificates in " << LAUNCHER_BINARY_DIR;
  const std::string script =
      "LAUNCHER_CHILD_HOST=localhost LAUNCHER_CHILD_PORT=" + std::to_string(server.port()) +
      " LAUNCHER_CHILD_PRODUCT=prod LAUNCHER_CHILD_CA='" + ca.string() + "' LAUNCHER_CHILD_DEST='" +
      dest.path().string() + "/' '" + self.string() +
      "' --gtest_also_run_disabled_tests --gtest_filter=DownloadChild.DISABLED_RunFromEnvironment >/dev/null 2>&1 &"
      " pid=$!; i=0;"
      " while [ \"$(cat '" + archive.string() + "' 2>/dev/null | wc -c)\" -lt " +
      std::to_string(2 * kBlock) + " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done;"
      " kill -KILL $pid; wait $pid; exit 0";
  // std::system hands the line to the shell.
  ASSERT_EQ(std::system(script.c_str()), 0);

  const auto left_behind = fs::file_size(archive, ec);
  ASSERT_FALSE(ec) << "the killed run left no archive";
  ASSERT_GE(left_behind, 2 * kBlock);
  ASSERT_LT(left_behind, bytes.size()) << "the run ended before it was killed";

  // A request the killed process had under way may still be recorded late;
  // what counts is that no kept block is asked for again.
  server.reset();
  publish();
  EXPECT_EQ(run(), "");
  EXPECT_TRUE(read_file(archive) == bytes);
  const std::size_t kept = static_cast<std::size_t>(left_behind / kBlock);
  const auto ranges = archive_ranges();
  EXPECT_FALSE(ranges.empty());
  for (const auto& range : ranges) {
    EXPECT_GE(std::stoull(range.substr(range.find('=') + 1)), kept * kBlock) << range;
  }
}

TEST_F(DamagedBlocks, ContentsStagedBeforeADamagedBlockServeTheNextRun) {
  const std::vector<Content> contents = {{"inside the first block", {"a.txt"}},
                                         {random_bytes(100000, 7), {"spans/b.bin"}},
                                         {"after the damage", {"c.txt", "d/c.txt"}}};
  std::vector<FixtureMember> members = release_members(contents);
  members[1].deflate = false;
  bytes = make_zip(members);
  publish();
  const fs::path staging = dest.path() / "prod.1.0.staging";
  const fs::path setup = dest.path() / "prod.1.0";

  // The second block never arrives intact: the download gives up after the first.
  server.set_rule(kArchive, {{"corrupt_times", 1000}, {"corrupt_at", kBlock}});
  std::unique_ptr<StreamingUnpack> unpacking;
  EXPECT_NE(run_unpacking(unpacking), "");
  ASSERT_TRUE(unpacking);
  EXPECT_FALSE(unpacking->finish(bytes.size()));
  unpacking.reset();
  EXPECT_TRUE(fs::exists(staging / sha256_of(contents[0].content)));
  EXPECT_FALSE(fs::exists(staging / sha256_of(contents[1].content)));
  EXPECT_FALSE(fs::exists(setup));

  // The next run keeps the first block and what was staged from it.
  server.set_rule(kArchive, {});
  const std::size_t earlier = archive_ranges().size();
  ui.version_answers.push_back(choose(0, false, dest.folder()));
  ASSERT_EQ(run_unpacking(unpacking), "");
  // The first block is kept from the first run, not asked for again.
  const auto ranges = archive_ranges();
  ASSERT_EQ(ranges.size(), earlier + 1);
  EXPECT_EQ(ranges.back().rfind("bytes=65536-", 0), 0u) << ranges.back();
  ExtractedFiles extracted;
  ASSERT_TRUE(unpack_release(unpacking.get(), bytes.size(), archive_path(release),
                             as_folder_path(wide_from_utf8(setup.string())), no_progress(), extracted));
  for (const Content& content : contents) {
    for (const std::string& path : content.dst) EXPECT_TRUE(read_file(setup / path) == content.content) << path;
  }
  EXPECT_EQ(extracted.size(), 4u);
  EXPECT_FALSE(fs::exists(staging));
}
