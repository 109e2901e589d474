#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "pack.h"
#include "publish_error.h"
#include "support.h"
#include "zip_writer.h"

using namespace publisher;
using testing_support::put;
using testing_support::Scratch;
namespace fs = std::filesystem;

namespace {
std::string pack_error(const Scratch& scratch, const std::function<void(const fs::path&)>& arrange,
                       const std::string& start = "*:*:setup.exe", fs::path output = {}) {
  const fs::path setup = scratch / "setup";
  put(setup / "setup.exe", "MZ");
  arrange(setup);
  PackOptions options;
  options.setup_folder = setup;
  options.output = output.empty() ? scratch / "out.zip" : output;
  if (!start.empty()) options.start_commands.push_back(parse_start_command(start));
  try {
    pack(options);
  } catch (const PublishError& error) {
    EXPECT_FALSE(fs::exists(options.output)) << "a failed run left " << options.output;
    EXPECT_FALSE(fs::exists(fs::path(options.output) += ".part"));
    return error.what();
  }
  return "";
}
}  // namespace

TEST(ScanSetupFolder, ListsFilesSortedWithBackslashes) {
  Scratch scratch;
  put(scratch / "s" / "b.txt", "b");
  put(scratch / "s" / "a" / "z.txt", "z", 0755);
  put(scratch / "s" / "A b" / "c.txt", "c");
  fs::create_directories(scratch / "s" / "empty");
  fs::create_symlink("a/z.txt", scratch / "s" / "link.txt");
  const auto files = scan_setup_folder(scratch / "s");
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[0].dst, "A b\\c.txt");
  EXPECT_EQ(files[1].dst, "a\\z.txt");
  EXPECT_EQ(files[2].dst, "b.txt");
  EXPECT_EQ(files[3].dst, "link.txt");
  EXPECT_EQ(files[3].size, 1u);
  EXPECT_EQ(files[3].mode & 0111, 0111u);
  EXPECT_EQ(files[2].mode & 0111, 0u);
}

TEST(Pack, RefusesBadInputWithAClearMessage) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> arrange;
    std::string start;
    const char* expected;
  };
  const Case cases[] = {
      {"start names a missing file", [](const fs::path&) {}, "*:*:bin/setup.exe", "does not have"},
      {"start file differs in case", [](const fs::path&) {}, "*:*:SETUP.EXE", "does not have"},
      {"no start command", [](const fs::path&) {}, "", "no start command"},
      {"link leaving the folder",
       [](const fs::path& s) { fs::create_symlink("/etc/hostname", s / "host"); }, "*:*:setup.exe",
       "outside the setup folder"},
      {"link climbing out",
       [](const fs::path& s) {
         put(s.parent_path() / "secret.txt", "x");
         fs::create_symlink("../secret.txt", s / "secret");
       },
       "*:*:setup.exe", "outside the setup folder"},
      {"dangling link", [](const fs::path& s) { fs::create_symlink("nothing", s / "dead"); }, "*:*:setup.exe",
       "points to nothing"},
      {"link to a folder", [](const fs::path& s) { fs::create_symlink(".", s / "loop"); }, "*:*:setup.exe",
       "does not point to a file"},
      {"fifo", [](const fs::path& s) { ::mkfifo((s / "pipe").c_str(), 0644); }, "*:*:setup.exe",
       "neither a file nor a folder"},
      {"name Windows refuses", [](const fs::path& s) { put(s / "what?.txt", ""); }, "*:*:setup.exe",
       "does not allow"},
      {"folder Windows refuses", [](const fs::path& s) { put(s / "con" / "a.txt", ""); }, "*:*:setup.exe",
       "reserved device name"},
      {"backslash in a name", [](const fs::path& s) { put(s / "a\\b.txt", ""); }, "*:*:setup.exe", "contains '\\'"},
      {"names differing in case", [](const fs::path& s) { put(s / "Setup.exe", ""); }, "*:*:setup.exe",
       "differ only in letter case"},
      {"file and folder differing in case",
       [](const fs::path& s) {
         put(s / "data", "");
         put(s / "DATA" / "x", "");
       },
       "*:*:setup.exe", "a folder"},
  };
  for (const Case& c : cases) {
    Scratch scratch;
    const std::string message = pack_error(scratch, c.arrange, c.start);
    EXPECT_NE(message.find(c.expected), std::string::npos) << c.name << ": " << message;
  }
}

// Never a manifest the launcher would refuse to read.
TEST(Pack, StaysWithinWhatALauncherReads) {
  EXPECT_NO_THROW(check_arcinfo_limits(kMaxArcInfoDestinations, kMaxManifestSize));
  EXPECT_THROW(check_arcinfo_limits(kMaxArcInfoDestinations + 1, 0), PublishError);
  EXPECT_THROW(check_arcinfo_limits(1, kMaxManifestSize + 1), PublishError);
}

TEST(Pack, RefusesMissingFoldersUnreadableFilesAndOutputInsideTheFolder) {
  Scratch scratch;
  PackOptions options;
  options.setup_folder = scratch / "nowhere";
  options.output = scratch / "out.zip";
  options.start_commands.push_back(parse_start_command("*:*:setup.exe"));
  try {
    pack(options);
    FAIL() << "packed a missing folder";
  } catch (const PublishError& error) {
    EXPECT_NE(std::string(error.what()).find("does not exist"), std::string::npos) << error.what();
  }

  const std::string inside = pack_error(scratch, [](const fs::path&) {}, "*:*:setup.exe", scratch / "setup" / "o.zip");
  EXPECT_NE(inside.find("must not be written into the setup folder"), std::string::npos) << inside;

  if (::geteuid() != 0) {  // root reads everything
    Scratch other;
    const std::string unreadable =
        pack_error(other, [](const fs::path& s) { put(s / "locked.bin", "x", 0000); });
    EXPECT_NE(unreadable.find("cannot read"), std::string::npos) << unreadable;
  }
}

TEST(ZipWriter, RefusesContentThatDoesNotMatchItsAnnouncedSize) {
  Scratch scratch;
  ZipWriter writer(scratch / "a.zip");
  const ContentSource longer = [] {
    return ChunkReader([](char* buffer, std::size_t size) {
      std::fill(buffer, buffer + size, 'x');
      return size;
    });
  };
  EXPECT_THROW(writer.add("n", 10, 0644, longer), PublishError);
  const ContentSource shorter = [] {
    return ChunkReader([](char*, std::size_t) { return std::size_t{0}; });
  };
  EXPECT_THROW(writer.add("m", 10, 0644, shorter), PublishError);
}

TEST(ZipWriter, ReportsWritesThatDoNotReachTheDisk) {
  // /dev/full opens like any file and refuses every write, as a full disk does.
  ZipWriter writer("/dev/full");
  writer.add_bytes("a", "content", 0644);
  EXPECT_THROW(writer.finish(), PublishError);
}

TEST(ZipWriter, RecordsOnlyReadWriteAndExecutableBits) {
  EXPECT_EQ(recorded_mode(0100755), 0755u);
  EXPECT_EQ(recorded_mode(0100600), 0644u);
  EXPECT_EQ(recorded_mode(0104755), 0755u);  // setuid dropped
  EXPECT_EQ(recorded_mode(0103777), 0755u);  // setgid, sticky and group/other write dropped
  EXPECT_EQ(recorded_mode(0100700), 0744u);
}
