#include "archive/zip_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/temp_dir.h"
#include "common/zip_fixture.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace {

struct MemoryZip {
  zip::MemorySource source;
  zip::ZipReader reader;
  explicit MemoryZip(const std::string& bytes) : source(bytes) {}
  bool open() { return reader.open(source); }
};

struct FileZip {
  zip::FileSource source;
  zip::ZipReader reader;
  explicit FileZip(const fs::path& path) : source(platform::File(path.wstring(), platform::File::Mode::read)) {}
  bool open() { return source.is_open() && reader.open(source); }
};

// Extracts by name; nullopt when the member is missing or refused.
std::optional<std::string> content_of(const zip::ZipReader& reader, const std::string& name) {
  const auto index = reader.locate(name);
  if (!index) return std::nullopt;
  std::string content;
  if (!reader.extract_to_memory(*index, content, 1u << 30)) return std::nullopt;
  return content;
}

std::string text_lines(std::size_t lines) {
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) text += "line " + std::to_string(i) + " of a compressible setup text\n";
  return text;
}

bool posix_host() { return platform::path_separator() == L'/'; }

}  // namespace

// ---------------------------------------------------------------------------
// Archives written by the usual packers
// ---------------------------------------------------------------------------

struct PackerCase {
  const char* name;
  const char* probe;
  // %s: source folder, %o: output archive (both absolute).
  const char* command;
};

void PrintTo(const PackerCase& packer, std::ostream* out) { *out << packer.name; }

class PackerArchives : public ::testing::TestWithParam<PackerCase> {
 protected:
  void SetUp() override {
    if (!tool_available(GetParam().probe)) GTEST_SKIP() << GetParam().probe << " is not available";
    files_["setup.sh"] = "#!/bin/sh\necho started\n";
    files_["data/text.txt"] = text_lines(20000);
    files_["data/deeper/binary.dat"] = random_bytes(300000, 7);
    files_["empty.txt"] = "";
    for (const auto& [name, content] : files_) write_file(dir_.path() / "src" / name, content);
    fs::permissions(dir_.path() / "src" / "setup.sh", fs::perms(0755));
    fs::permissions(dir_.path() / "src" / "empty.txt", fs::perms(0644));

    std::string command = GetParam().command;
    const auto replace = [&command](const std::string& key, const std::string& value) {
      for (auto at = command.find(key); at != std::string::npos; at = command.find(key, at + value.size()))
        command.replace(at, key.size(), value);
    };
    replace("%s", (dir_.path() / "src").string());
    replace("%o", archive().string());
    ASSERT_TRUE(run_command(command)) << command;
  }

  fs::path archive() const { return dir_.path() / "packed.zip"; }

  TempDir dir_;
  std::map<std::string, std::string> files_;
};

constexpr char kPythonPack[] =
    "python3 -c \"import os,sys,zipfile\n"
    "src,out,z64,method=sys.argv[1],sys.argv[2],sys.argv[3]=='1',int(sys.argv[4])\n"
    "with zipfile.ZipFile(out,'w') as z:\n"
    "  for root,dirs,files in os.walk(src):\n"
    "    for f in sorted(files):\n"
    "      p=os.path.join(root,f)\n"
    "      info=zipfile.ZipInfo.from_file(p,os.path.relpath(p,src))\n"
    "      info.compress_type=method\n"
    "      with open(p,'rb') as i, z.open(info,'w',force_zip64=z64) as o: o.write(i.read())\n"
    "\" ";

const PackerCase kPackers[] = {
    {"zip_deflate", "zip -v", "cd '%s' && zip -q -r '%o' ."},
    {"zip_stored", "zip -v", "cd '%s' && zip -q -0 -r '%o' ."},
    {"zip_forced_zip64", "zip -v", "cd '%s' && zip -q -fz -r '%o' ."},
    {"python_deflate", "python3 --version", nullptr},
    {"python_stored_zip64", "python3 --version", nullptr},
    {"bsdtar", "bsdtar --version", "cd '%s' && bsdtar --format zip -cf '%o' *"},
};

const std::string kPythonDeflate = std::string(kPythonPack) + "'%s' '%o' 0 8";
const std::string kPythonZip64 = std::string(kPythonPack) + "'%s' '%o' 1 0";

std::vector<PackerCase> packer_cases() {
  std::vector<PackerCase> cases(std::begin(kPackers), std::end(kPackers));
  cases[3].command = kPythonDeflate.c_str();
  cases[4].command = kPythonZip64.c_str();
  return cases;
}

TEST_P(PackerArchives, EveryFileReadsBackWithItsUnixMode) {
  FileZip zip(archive());
  ASSERT_TRUE(zip.open());
  for (const auto& [name, content] : files_) {
    SCOPED_TRACE(name);
    const auto index = zip.reader.locate(name);
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(content_of(zip.reader, name), content);

    zip::MemberStat stat;
    ASSERT_TRUE(zip.reader.stat(*index, stat));
    EXPECT_FALSE(stat.is_directory);
    ASSERT_TRUE(stat.unix_mode.has_value());
    EXPECT_EQ(*stat.unix_mode & 0777, name == "setup.sh" ? 0755u : 0644u);

    std::string streamed;
    EXPECT_TRUE(zip.reader.extract(*index, [&streamed](const char* data, std::size_t size) {
      streamed.append(data, size);
      return true;
    }));
    EXPECT_EQ(streamed, content);
  }
}

TEST_P(PackerArchives, DirectoryMembersAreRefused) {
  FileZip zip(archive());
  ASSERT_TRUE(zip.open());
  for (std::size_t i = 0; i < zip.reader.member_count(); ++i) {
    zip::MemberStat stat;
    ASSERT_TRUE(zip.reader.stat(i, stat));
    if (!stat.is_directory) continue;
    std::string content;
    EXPECT_FALSE(zip.reader.extract_to_memory(i, content, 1u << 20)) << stat.name;
  }
}

TEST_P(PackerArchives, FlippedContentByteIsRefused) {
  std::string bytes = read_file(archive());
  FileZip zip(archive());
  ASSERT_TRUE(zip.open());
  zip::MemberStat stat;
  ASSERT_TRUE(zip.reader.stat(*zip.reader.locate("data/text.txt"), stat));
  // Well inside the member's data, past any local header.
  bytes[stat.local_header_offset + 100 + stat.compressed_size / 2] ^= 0x20;
  MemoryZip damaged(bytes);
  ASSERT_TRUE(damaged.open());
  EXPECT_EQ(content_of(damaged.reader, "data/text.txt"), std::nullopt);
}

TEST_P(PackerArchives, TruncatedArchiveDoesNotOpen) {
  const std::string bytes = read_file(archive());
  for (const std::size_t keep : {bytes.size() - 1, bytes.size() - 30, bytes.size() / 2, std::size_t{10}}) {
    MemoryZip truncated(bytes.substr(0, keep));
    EXPECT_FALSE(truncated.open()) << keep;
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, PackerArchives, ::testing::ValuesIn(packer_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ZipReaderTools, EncryptedMemberIsRefused) {
  if (!tool_available("zip -v")) GTEST_SKIP() << "zip is not available";
  TempDir dir;
  write_file(dir.path() / "secret.txt", "the content\n");
  ASSERT_TRUE(run_command("cd '" + dir.path().string() + "' && zip -q -P password locked.zip secret.txt"));
  FileZip zip(dir.path() / "locked.zip");
  ASSERT_TRUE(zip.open());
  zip::MemberStat stat;
  ASSERT_TRUE(zip.reader.stat(*zip.reader.locate("secret.txt"), stat));
  EXPECT_TRUE(stat.is_encrypted);
  EXPECT_EQ(content_of(zip.reader, "secret.txt"), std::nullopt);
}

TEST(ZipReaderTools, MoreThan65535Members) {
  if (!tool_available("python3 --version")) GTEST_SKIP() << "python3 is not available";
  TempDir dir;
  const fs::path archive = dir.path() / "many.zip";
  ASSERT_TRUE(run_command("python3 -c \"import zipfile,sys\n"
                          "with zipfile.ZipFile(sys.argv[1],'w') as z:\n"
                          "  for i in range(70000): z.writestr('f/%d.txt' % i, str(i))\n\" '" +
                          archive.string() + "'"));
  FileZip zip(archive);
  ASSERT_TRUE(zip.open());
  EXPECT_EQ(zip.reader.member_count(), 70000u);
  EXPECT_EQ(content_of(zip.reader, "f/0.txt"), "0");
  EXPECT_EQ(content_of(zip.reader, "F/69999.TXT"), "69999");
}

// ---------------------------------------------------------------------------
// Forged and exact layouts
// ---------------------------------------------------------------------------

TEST(ZipReader, LookupIsByWholeNameIgnoringAsciiCase) {
  MemoryZip zip(make_zip({{"Dir/File.TXT", "first"}, {"dir/file.txt", "second"}, {"other", "x"}}));
  ASSERT_TRUE(zip.open());
  EXPECT_EQ(zip.reader.locate("dir/FILE.txt"), 0u);  // the first of two equal names
  EXPECT_EQ(zip.reader.locate("other"), 2u);
  EXPECT_EQ(zip.reader.locate("File.TXT"), std::nullopt);
  EXPECT_EQ(zip.reader.locate("Dir/"), std::nullopt);
  EXPECT_EQ(zip.reader.locate("othe"), std::nullopt);
}

TEST(ZipReader, RefusesWhatItCannotVouchFor) {
  const std::string content = text_lines(2000);
  struct Case {
    const char* name;
    FixtureMember member;
  };
  std::vector<Case> cases = {
      {"wrong crc", FixtureMember("m", content).crc(0x12345678u)},
      {"wrong crc stored", FixtureMember("m", content, false).crc(0x12345678u)},
      {"inflates past its size", FixtureMember("m", content).size(content.size() - 1)},
      {"inflates short of its size", FixtureMember("m", content).size(content.size() + 1)},
      {"stored sizes differ", FixtureMember("m", content, false).size(content.size() + 5)},
      {"encrypted flag", FixtureMember("m", content).flag(0x0001)},
      {"unknown method", FixtureMember("m", content).method(12)},
      {"directory by name", FixtureMember("m/", "", false)},
      {"directory by unix mode", FixtureMember("m", "", false).mode(040755u)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryZip zip(make_zip({c.member}));
    ASSERT_TRUE(zip.open());
    std::uint64_t delivered = 0;
    EXPECT_FALSE(zip.reader.extract(0, [&](const char*, std::size_t size) {
      delivered += size;
      return true;
    }));
    EXPECT_LE(delivered, c.member.declared_size.value_or(content.size()));
  }
}

TEST(ZipReader, UnixModeOnlyWhenRecordedByUnix) {
  MemoryZip zip(make_zip({FixtureMember("a", "x").mode(0104755u), {"b", "y"}}));
  ASSERT_TRUE(zip.open());
  zip::MemberStat stat;
  ASSERT_TRUE(zip.reader.stat(0, stat));
  EXPECT_EQ(stat.unix_mode, 0104755u);
  ASSERT_TRUE(zip.reader.stat(1, stat));
  EXPECT_EQ(stat.unix_mode, std::nullopt);
}

TEST(ZipReader, SmallMemberLimitIsHonoured) {
  MemoryZip zip(make_zip({{"big", std::string(5000, 'a')}}));
  ASSERT_TRUE(zip.open());
  std::string content;
  EXPECT_FALSE(zip.reader.extract_to_memory(0, content, 4999));
  EXPECT_TRUE(zip.reader.extract_to_memory(0, content, 5000));
}

TEST(ZipReader, Zip64RecordsAndCommentAreRead) {
  FixtureOptions options;
  options.zip64 = true;
  options.comment = "a comment that ends with PK\x05\x06 in it";
  MemoryZip zip(make_zip({{"one", "1"}, {"two", text_lines(100), false}, {"three", text_lines(300)}}, options));
  ASSERT_TRUE(zip.open());
  EXPECT_EQ(zip.reader.member_count(), 3u);
  EXPECT_EQ(content_of(zip.reader, "two"), text_lines(100));
  EXPECT_EQ(content_of(zip.reader, "three"), text_lines(300));
}

TEST(ZipReader, MemberBeyondFourGiB) {
  if (!posix_host()) GTEST_SKIP() << "needs a file system with sparse files";
  TempDir dir;
  const fs::path path = dir.path() / "far.zip";
  FixtureOptions options;
  options.zip64 = true;
  options.base_offset = (5ull << 30) + 3;
  const std::string tail = make_zip({{"far.txt", text_lines(50)}}, options);
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(options.base_offset));
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(out.good());
  }
  FileZip zip(path);
  ASSERT_TRUE(zip.open());
  zip::MemberStat stat;
  ASSERT_TRUE(zip.reader.stat(0, stat));
  EXPECT_EQ(stat.local_header_offset, options.base_offset);
  EXPECT_EQ(content_of(zip.reader, "far.txt"), text_lines(50));
}

TEST(ZipReader, NoDamagedByteCrashesOrSlipsThrough) {
  FixtureOptions zip64;
  zip64.zip64 = true;
  for (const std::string& original :
       {make_zip({{"a", text_lines(20)}, {"b", "stored", false}}), make_zip({{"a", text_lines(20)}}, zip64)}) {
    for (std::size_t at = 0; at < original.size(); ++at) {
      for (const char value : {'\0', '\xFF', '\x7F'}) {
        std::string bytes = original;
        if (bytes[at] == value) continue;
        bytes[at] = value;
        MemoryZip zip(bytes);
        if (!zip.open()) continue;
        for (std::size_t i = 0; i < zip.reader.member_count(); ++i) {
          std::string content;
          if (!zip.reader.extract_to_memory(i, content, 1u << 20)) continue;
          // What gets through must be what was packed, byte for byte.
          EXPECT_TRUE(content == text_lines(20) || content == "stored") << "byte " << at;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Extraction into memory the sink lends
// ---------------------------------------------------------------------------

namespace {

// Lends rooms of one size and keeps what comes back; checks that the reader
// keeps to the order room, fill, room and never fills more than it was lent.
class RecordingSink : public zip::ChunkSink {
 public:
  explicit RecordingSink(std::size_t room_size) : room_(room_size, '\0') {}
  char* room(std::size_t& size) override {
    EXPECT_FALSE(lent_) << "room asked for twice";
    lent_ = true;
    size = room_.size();
    return &room_[0];
  }
  bool fill(std::size_t size) override {
    EXPECT_TRUE(lent_) << "filled without room";
    EXPECT_GT(size, 0u);
    EXPECT_LE(size, room_.size());
    lent_ = false;
    content.append(room_.data(), std::min(size, room_.size()));
    return refuse_after == 0 || --refuse_after != 0;
  }
  std::string content;
  unsigned refuse_after = 0;  // refuses the fill with this number; 0: never

 private:
  std::string room_;
  bool lent_ = false;
};

}  // namespace

TEST(ZipReader, LentRoomsOfAnySizeCarryTheWholeContent) {
  const std::string text = text_lines(40000);  // about 1.8 MB, deflated to far less
  const std::string noise = random_bytes(700000, 7);
  MemoryZip zip(make_zip({{"text", text}, {"noise", noise, false}, {"empty", ""}, {"empty stored", "", false}}));
  ASSERT_TRUE(zip.open());
  const std::map<std::string, const std::string*> expected = {
      {"text", &text}, {"noise", &noise}, {"empty", nullptr}, {"empty stored", nullptr}};
  for (const std::size_t room : {std::size_t{61}, std::size_t{4093}, std::size_t{512u << 10}, std::size_t{4u << 20}}) {
    for (const auto& [name, content] : expected) {
      SCOPED_TRACE(name + " in rooms of " + std::to_string(room));
      RecordingSink sink(room);
      EXPECT_TRUE(zip.reader.extract(*zip.reader.locate(name), sink));
      EXPECT_TRUE(sink.content == (content ? *content : std::string()));
    }
  }
}

TEST(ZipReader, LentRoomsGetNothingOfAForgedMemberBeyondItsSize) {
  const std::string content = text_lines(30000);
  struct Case {
    const char* name;
    FixtureMember member;
  };
  const std::vector<Case> cases = {
      {"wrong crc across many rooms", FixtureMember("m", content).crc(0x12345678u)},
      {"wrong crc stored", FixtureMember("m", content, false).crc(0x12345678u)},
      {"inflates past its size", FixtureMember("m", content).size(content.size() - 1000)},
      {"inflates short of its size", FixtureMember("m", content).size(content.size() + 1)},
  };
  for (const Case& c : cases) {
    for (const std::size_t room : {std::size_t{4096}, std::size_t{4u << 20}}) {
      SCOPED_TRACE(std::string(c.name) + " in rooms of " + std::to_string(room));
      MemoryZip zip(make_zip({c.member}));
      ASSERT_TRUE(zip.open());
      RecordingSink sink(room);
      EXPECT_FALSE(zip.reader.extract(0, sink));
      EXPECT_LE(sink.content.size(), c.member.declared_size.value_or(content.size()));
    }
  }

  // A sink that stops taking bytes stops the extraction.
  MemoryZip zip(make_zip({{"m", content}}));
  ASSERT_TRUE(zip.open());
  RecordingSink sink(4096);
  sink.refuse_after = 3;
  EXPECT_FALSE(zip.reader.extract(0, sink));
  EXPECT_EQ(sink.content.size(), 3u * 4096u);
}
