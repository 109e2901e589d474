#include "archive/extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/setuplauncher.h"
#include "common/release_fixture.h"
#include "common/scripted_ui.h"
#include "common/small_disk.h"
#include "common/test_host.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/exceptions.h"
#include "support/hooks.h"
#include "ui/extractionprogress.h"

namespace fs = std::filesystem;

namespace {

bool is_posix() { return platform::path_separator() == L'/'; }

using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::wstring&)>;

// Every file under the folder, relative and with '/' separators, sorted.
std::vector<std::string> files_under(const fs::path& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), folder).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Contents several times the size of the writer's buffers, so that reading,
// writing and hashing of one file run at the same time.
std::string large_text(std::size_t size) {
  std::string text;
  for (std::size_t line = 0; text.size() < size; ++line) text += "setup line " + std::to_string(line * 7919 % 100003) + "\n";
  text.resize(size);
  return text;
}

class Extraction : public ::testing::Test {
 protected:
  bool extract(const std::vector<Content>& contents) {
    fixture_.write_archive(make_zip(release_members(contents)));
    return fixture_.extract(progress_windows(ui_));
  }
  bool extract_members(const std::vector<FixtureMember>& members) {
    fixture_.write_archive(make_zip(members));
    return fixture_.extract(progress_windows(ui_));
  }
  std::string setup_file(const std::string& relative) const { return read_file(fixture_.setup_path(relative)); }
  const ProgressRecord& progress() const { return *ui_.progress_windows.at(0); }

  ScriptedUi ui_;
  LogCapture log_;
  ReleaseFixture fixture_;
};

}  // namespace

TEST_F(Extraction, EachContentLandsAtEveryDestination) {
  ASSERT_TRUE(extract({{"shared text\n", {"bin/a.txt", "copy/deep/a.txt", "bin\\again.txt"}},
                       {"second", {"x/y/z/b.bin"}}}));
  EXPECT_EQ(files_under(fixture_.setup_path()),
            (std::vector<std::string>{"bin/a.txt", "bin/again.txt", "copy/deep/a.txt", "x/y/z/b.bin"}));
  EXPECT_EQ(setup_file("copy/deep/a.txt"), "shared text\n");
  EXPECT_EQ(setup_file("bin/again.txt"), "shared text\n");
  EXPECT_EQ(setup_file("x/y/z/b.bin"), "second");

  ASSERT_EQ(ui_.progress_windows.size(), 1u);
  EXPECT_EQ(progress().max, 2u);
  EXPECT_EQ(progress().steps, 2u);
  EXPECT_NE(progress().captions.front().find(L"(extract)"), std::wstring::npos);
  EXPECT_NE(log_.text().find("extract"), std::string::npos);
}

TEST_F(Extraction, LaterEntryWinsACommonDestination) {
  ASSERT_TRUE(extract({{"earlier", {"same.txt", "one.txt"}}, {"later", {"two.txt", "same.txt"}}}));
  EXPECT_EQ(setup_file("same.txt"), "later");
  EXPECT_EQ(setup_file("one.txt"), "earlier");
}

TEST_F(Extraction, MemberNameIgnoresCaseButTheDigestDoesNot) {
  const std::string content = "case test";
  std::string upper = sha256_of(content);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });

  // Stored under the upper-case digest, asked for in lower case: found and verified.
  EXPECT_TRUE(extract_members({{upper, content}, {"arcinfo.json", arcinfo_of({{content, {"a.txt"}}})}}));
  EXPECT_EQ(setup_file("a.txt"), content);

  // Asked for in upper case: found, but the digest of the file is lower case.
  const std::string upper_info = "[{\"hash\":\"" + upper + "\",\"dst\":[\"b.txt\"]}]";
  EXPECT_FALSE(extract_members({{sha256_of(content), content}, {"arcinfo.json", upper_info}}));
}

TEST_F(Extraction, ManifestWithoutEntriesSucceeds) {
  for (const std::string& arcinfo : {std::string("[]"), std::string("{\"hash\":1}"), std::string("not json")}) {
    SCOPED_TRACE(arcinfo);
    EXPECT_TRUE(extract_members({{"arcinfo.json", arcinfo}}));
    EXPECT_EQ(ui_.progress_windows.back()->max, 0u);
  }
  EXPECT_TRUE(extract_members({{"unrelated", "x"}}));
  EXPECT_TRUE(files_under(fixture_.setup_path()).empty());
}

TEST_F(Extraction, MissingArchiveFailsWithoutWindow) {
  EXPECT_FALSE(fixture_.extract(progress_windows(ui_)));
  fixture_.write_archive("not a zip archive at all");
  EXPECT_FALSE(fixture_.extract(progress_windows(ui_)));
  EXPECT_TRUE(ui_.progress_windows.empty());
}

TEST_F(Extraction, FailingEntryStopsButKeepsEarlierFiles) {
  std::vector<FixtureMember> members = release_members({{"one", {"1.txt"}}, {"two", {"2.txt"}}, {"four", {"4.txt"}}});
  // The third entry names a member the archive does not hold.
  const std::string arcinfo = arcinfo_of({{"one", {"1.txt"}}, {"two", {"2.txt"}}, {"three", {"3.txt"}},
                                            {"four", {"4.txt"}}});
  members.back() = FixtureMember("arcinfo.json", arcinfo);
  EXPECT_FALSE(extract_members(members));
  EXPECT_EQ(files_under(fixture_.setup_path()), (std::vector<std::string>{"1.txt", "2.txt"}));
  EXPECT_EQ(progress().steps, 2u);
  EXPECT_EQ(progress().max, 4u);
}

TEST_F(Extraction, InvalidEntriesFail) {
  const std::string content = "payload";
  struct Case {
    const char* name;
    std::vector<FixtureMember> members;
  };
  const std::string no_dst = "[{\"hash\":\"" + sha256_of(content) + "\",\"dst\":[]}]";
  const std::string no_hash = "[{\"dst\":[\"a.txt\"]}]";
  std::vector<Case> cases = {
      {"empty dst list", {{sha256_of(content), content}, {"arcinfo.json", no_dst}}},
      {"missing hash", {{sha256_of(content), content}, {"arcinfo.json", no_hash}}},
      {"corrupt member", {FixtureMember(sha256_of(content), content).crc(1),
                          {"arcinfo.json", arcinfo_of({{content, {"a.txt"}}})}}},
      {"zip bomb", {FixtureMember(sha256_of(content), content).size(3),
                    {"arcinfo.json", arcinfo_of({{content, {"a.txt"}}})}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(extract_members(c.members));
  }
  // The bomb stopped before more than its declared size reached the file.
  EXPECT_LE(read_file(fixture_.setup_path("a.txt")).size(), 3u);
}

TEST_F(Extraction, DestinationsOutsideTheSetupFolderAreRefused) {
  const std::vector<std::string> escaping = {
      "/tmp/launcher-escape.txt", "\\escape.txt", "\\\\server\\share\\escape.txt", "//server/share/escape.txt",
      "C:\\escape.txt", "C:escape.txt", "../escape.txt", "sub/../../escape.txt", "sub\\..\\..\\escape.txt",
      "sub/.../escape.txt", "sub/.. /escape.txt", "readme.txt:stream", "CON", "sub/nul.txt", "Com1.log",
      "LPT9", "aux .txt", "con.d/x.txt", ".."};
  for (const std::string& dst : escaping) {
    SCOPED_TRACE(dst);
    ReleaseFixture fixture;
    fixture.write_archive(
        make_zip(release_members({{"first entry", {"ok.txt"}}, {"escaping", {"inside.txt", dst}}})));
    EXPECT_FALSE(fixture.extract(progress_windows(ui_)));
    // The entry before it is in place; nothing of the escaping entry is
    // written, not even its harmless first destination.
    EXPECT_EQ(files_under(fixture.setup_path()), std::vector<std::string>{"ok.txt"});
    std::vector<std::string> around = files_under(fixture.root());
    EXPECT_EQ(around, (std::vector<std::string>{"release.zip", "setup/ok.txt"}));
  }
  EXPECT_FALSE(fs::exists("/tmp/launcher-escape.txt"));
}

TEST_F(Extraction, HarmlessLookalikesAreAccepted) {
  ASSERT_TRUE(extract({{"x", {"./dot/a.txt", "cone/b.txt", "com10.txt", "..name", "a..b/c.txt", "nul_x"}}}));
  EXPECT_EQ(files_under(fixture_.setup_path()),
            (std::vector<std::string>{"..name", "a..b/c.txt", "com10.txt", "cone/b.txt", "dot/a.txt", "nul_x"}));
}

TEST_F(Extraction, ExecutableBitsSurviveButNothingMore) {
  if (!is_posix()) GTEST_SKIP() << "files carry no Unix permissions here";
  const std::string script = "#!/bin/sh\nexit 0\n";
  std::vector<FixtureMember> members = {
      FixtureMember(sha256_of(script), script).mode(0106777u),  // setuid, setgid, world-writable
      FixtureMember(sha256_of("plain"), "plain").mode(0100644u),
      FixtureMember(sha256_of("no mode"), "no mode"),
      FixtureMember(sha256_of("link target"), "link target").mode(0120777u),
      {"arcinfo.json", arcinfo_of({{script, {"setup.sh", "copy/setup.sh"}}, {"plain", {"plain.txt"}},
                                     {"no mode", {"other.txt"}}, {"link target", {"link"}}})}};
  ASSERT_TRUE(extract_members(members));

  const auto mode = [&](const std::string& name) {
    return static_cast<unsigned>(fs::status(fixture_.setup_path(name)).permissions());
  };
  const unsigned created = mode("other.txt");  // what a new file gets under this umask
  const unsigned umask_bits = 0666u & ~created;
  EXPECT_EQ(mode("setup.sh"), created | (0111u & ~umask_bits));
  EXPECT_EQ(mode("copy/setup.sh"), mode("setup.sh"));
  EXPECT_EQ(mode("plain.txt"), created);
  EXPECT_EQ(mode("link"), created);  // a recorded link is written as a plain file
  EXPECT_FALSE(fs::is_symlink(fixture_.setup_path("link")));
  EXPECT_EQ(mode("setup.sh") & 07000u, 0u);
}

TEST_F(Extraction, LargeFilesStayExactAndKeepTheirOrder) {
  const std::string text = large_text(6u << 20);
  const std::string binary = random_bytes(5u << 20, 1);
  // The small entry's first destination is a copy of the large one before
  // it: it may be written only after that copy.
  ASSERT_TRUE(extract_members({FixtureMember(sha256_of(text), text), FixtureMember(sha256_of(binary), binary, false),
                               {sha256_of("small"), "small"},
                               {"arcinfo.json", arcinfo_of({{text, {"big/text.txt", "copy/text.txt"}},
                                                              {binary, {"big/data.bin"}},
                                                              {"small", {"copy/text.txt"}}})}}));
  EXPECT_TRUE(setup_file("big/text.txt") == text);
  EXPECT_TRUE(setup_file("big/data.bin") == binary);
  EXPECT_EQ(setup_file("copy/text.txt"), "small");
  EXPECT_EQ(progress().steps, 3u);
}

TEST_F(Extraction, DamagedLargeMemberStopsTheEntriesAfterIt) {
  const std::string text = large_text(6u << 20);
  struct Case {
    const char* name;
    FixtureMember member;
  };
  const std::vector<Case> cases = {
      {"wrong crc", FixtureMember(sha256_of(text), text).crc(0x12345678u)},
      {"wrong crc stored", FixtureMember(sha256_of(text), text, false).crc(0x12345678u)},
      {"inflates past its size", FixtureMember(sha256_of(text), text).size(text.size() / 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedUi ui;
    ReleaseFixture fixture;
    fixture.write_archive(make_zip({{sha256_of("before"), "before"}, c.member, {sha256_of("after"), "after"},
                                    {"arcinfo.json", arcinfo_of({{"before", {"1.txt"}},
                                                                   {text, {"damaged.txt", "copy.txt"}},
                                                                   {"after", {"3.txt"}}})}}));
    EXPECT_FALSE(fixture.extract(progress_windows(ui)));
    EXPECT_EQ(files_under(fixture.setup_path()), (std::vector<std::string>{"1.txt", "damaged.txt"}));
    EXPECT_LE(read_file(fixture.setup_path("damaged.txt")).size(), c.member.declared_size.value_or(text.size()));
    EXPECT_EQ(ui.progress_windows.at(0)->steps, 1u);
  }
}

TEST_F(Extraction, FilesThatCannotBeWrittenFailTheRun) {
  const std::string text = large_text(3u << 20);
  {
    SCOPED_TRACE("destination is a folder");
    ASSERT_FALSE(extract_members({{sha256_of("inner"), "inner"}, {sha256_of(text), text}, {sha256_of("after"), "after"},
                                  {"arcinfo.json", arcinfo_of({{"inner", {"taken.txt/inner.txt"}},
                                                                 {text, {"taken.txt"}},
                                                                 {"after", {"after.txt"}}})}}));
    EXPECT_FALSE(fs::exists(fixture_.setup_path("after.txt")));
  }
  // Every write fails once the small disk is full, while the digest of the
  // bytes handed over still matches: only the failed write can tell.
  SKIP_UNDER_WINE("a Windows program cannot mount a disk");
  SCOPED_TRACE("disk that fills up");
  const SmallDisk disk(fixture_.root() / "disk", 1u << 20);
  ASSERT_EQ(disk.problem(), "");
  const ScopedHook<FreeSpaceQuery> plenty(&Hooks::free_disk_space, [](const std::wstring&) { return 1ull << 40; });
  fixture_.write_archive(make_zip({{sha256_of(text), text}, {sha256_of("after"), "after"},
                                   {"arcinfo.json", arcinfo_of({{text, {"full.bin"}}, {"after", {"after.txt"}}})}}));
  ExtractedFiles extracted;
  EXPECT_FALSE(extract_archive(archive_path(fixture_.release()), disk.folder() + L"setup/", no_progress(), extracted));
  EXPECT_TRUE(fs::exists(fs_path_of(disk.folder() + L"setup/full.bin")));
  EXPECT_FALSE(fs::exists(fs_path_of(disk.folder() + L"setup/after.txt")));
}

// ---------------------------------------------------------------------------
// The setup folder: made fresh, and nothing in it followed
// ---------------------------------------------------------------------------

TEST_F(Extraction, ASetupFolderThatExistsIsRefusedAndNothingWrittenThroughIt) {
  write_file(fixture_.root() / "outside" / "precious.txt", "keep me");
  fixture_.write_archive(make_zip(release_members({{"forged", {"precious.txt", "folder/new.txt"}}})));
  const auto extract_again = [&] {
    ExtractedFiles extracted;
    extract_archive(archive_path(fixture_.release()), fixture_.setup_folder(), no_progress(), extracted);
  };
  // Left by an earlier run or prepared by someone else, with links inside.
  fs::create_directories(fixture_.setup_path());
  std::error_code ec;
  fs::create_symlink(fixture_.root() / "outside" / "precious.txt", fixture_.setup_path("precious.txt"), ec);
  fs::create_directory_symlink(fixture_.root() / "outside", fixture_.setup_path("folder"), ec);
  EXPECT_THROW(extract_again(), ZipException);
  EXPECT_NE(log_.text().find("throwing ZipException(Cannot make a new setup folder " +
                             fixture_.setup_path().string()), std::string::npos);
  if (ec) return;  // no symbolic links here
  // The setup folder's name itself leads elsewhere.
  fs::remove_all(fixture_.setup_path());
  fs::create_directory_symlink(fixture_.root() / "outside", fixture_.setup_path());
  EXPECT_THROW(extract_again(), ZipException);
  EXPECT_EQ(files_under(fixture_.root() / "outside"), std::vector<std::string>{"precious.txt"});
  EXPECT_EQ(read_file(fixture_.root() / "outside" / "precious.txt"), "keep me");
}

TEST(SetupFolder, OneThatCannotBeRemovedEndsTheRun) {
  LogCapture log;
  TempDir dir;
  const std::wstring setup = dir.folder() + L"brelvant.1.0" + platform::path_separator();
  write_file(dir.path() / "brelvant.1.0" / "old.txt", "old");
  {
    // On Linux a mount point inside cannot be removed, not even by root; on
    // Windows a file still open (a setup program still running) cannot.
    std::unique_ptr<SmallDisk> busy;
    platform::File in_use;
    if (is_posix()) {
      busy = std::make_unique<SmallDisk>(dir.path() / "brelvant.1.0" / "mounted", 1u << 20);
      ASSERT_EQ(busy->problem(), "");
    } else {
      in_use = platform::File(setup + L"old.txt", platform::File::Mode::read);
      ASSERT_TRUE(in_use.is_open());
    }
    try {
      remove_old_setup_folder(setup);
      ADD_FAILURE() << "no exception";
    } catch (const ZipException& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot remove the old setup folder " + utf8_from_wide(setup) +
                                           ". Close the programs that use it, then try again.");
    }
  }
  EXPECT_NO_THROW(remove_old_setup_folder(setup));
  EXPECT_FALSE(fs::exists(dir.path() / "brelvant.1.0"));
  EXPECT_NO_THROW(remove_old_setup_folder(setup));  // nothing there
}

// ---------------------------------------------------------------------------
// Free space: checked before anything is written
// ---------------------------------------------------------------------------

TEST_F(Extraction, TooLittleFreeSpaceIsRefusedBeforeTheSetupFolderIsMade) {
  // 1000 bytes in three places and 500 in one: 3500 bytes, copies included.
  const std::string thousand = random_bytes(1000, 3);
  const std::string five_hundred = random_bytes(500, 4);
  fixture_.write_archive(
      make_zip(release_members({{thousand, {"a.bin", "b/a.bin", "c/a.bin"}}, {five_hundred, {"d.bin"}}})));
  std::vector<std::wstring> asked;
  std::uint64_t free = 3499;
  const ScopedHook<FreeSpaceQuery> disk(&Hooks::free_disk_space, [&](const std::wstring& folder) {
    asked.push_back(folder);
    return std::optional<std::uint64_t>(free);
  });
  try {
    fixture_.extract(progress_windows(ui_));
    ADD_FAILURE() << "no exception";
  } catch (const ZipException& e) {
    EXPECT_EQ(std::string(e.what()), "Not enough free disk space in " + utf8_from_wide(fixture_.release().destination) +
                                         ": 3500 bytes needed, 3499 bytes free");
  }
  EXPECT_EQ(asked, std::vector<std::wstring>{fixture_.release().destination});
  EXPECT_FALSE(fs::exists(fixture_.setup_path()));
  EXPECT_TRUE(ui_.progress_windows.empty());

  free = 3500;
  EXPECT_TRUE(fixture_.extract(progress_windows(ui_)));
}

TEST_F(Extraction, ASmallDiskIsRefusedBeforeTheSetupFolderIsMade) {
  SKIP_UNDER_WINE("a Windows program cannot mount a disk");
  const SmallDisk disk(fixture_.root() / "disk", 1u << 20);
  ASSERT_EQ(disk.problem(), "");
  fixture_.write_archive(make_zip(release_members({{random_bytes(2u << 20, 5), {"big.bin"}}})));
  ExtractedFiles extracted;
  try {
    extract_archive(archive_path(fixture_.release()), disk.folder() + L"setup/", no_progress(), extracted);
    ADD_FAILURE() << "no exception";
  } catch (const ZipException& e) {
    const std::string expected =
        "Not enough free disk space in " + utf8_from_wide(disk.folder()) + ": 2097152 bytes needed, ";
    EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
  }
  EXPECT_FALSE(fs::exists(fs_path_of(disk.folder() + L"setup")));
}
