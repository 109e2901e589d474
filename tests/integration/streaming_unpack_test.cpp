#include "archive/stream_unpack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "archive/member_stream.h"
#include "common/release_fixture.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"

namespace fs = std::filesystem;

namespace {

bool is_posix() { return platform::path_separator() == L'/'; }

// Every file under the folder with its content and whether it is executable.
std::map<std::string, std::string> tree_of(const fs::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const bool executable = (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
    tree[fs::relative(entry.path(), folder).generic_string()] = (executable ? "x:" : "-:") + read_file(entry.path());
  }
  return tree;
}

std::string large_text(std::size_t size, unsigned seed) {
  std::string text;
  for (std::size_t line = 0; text.size() < size; ++line) text += std::to_string((line + seed) * 7919 % 100003) + "\n";
  text.resize(size);
  return text;
}

// A release whose first content is large enough to span several of the
// pieces the tests announce, stored and deflated, executable and shared.
std::vector<FixtureMember> sample_members() {
  const std::vector<Content> contents = {{large_text(700000, 1), {"big/one.txt", "copy/one.txt"}},
                                         {random_bytes(90000, 2), {"data.bin"}},
                                         {"#!/bin/sh\necho run\n", {"bin/run.sh"}},
                                         {"", {"empty.txt", "deep/a/b/empty.txt"}},
                                         {"shared later", {"same.txt", "other.txt"}}};
  std::vector<FixtureMember> members = release_members(contents);
  members[1].deflate = false;
  members[2].mode(0100755);
  return members;
}

class StreamingUnpackTest : public ::testing::Test {
 protected:
  std::wstring staging() const { return fixture_.root().wstring() + L"/staging"; }
  fs::path staging_path() const { return fixture_.root() / "staging"; }
  std::unique_ptr<StreamingUnpack> start() {
    auto store = ContentStore::open(staging());
    return store ? std::make_unique<StreamingUnpack>(archive_path(fixture_.release()), std::move(store)) : nullptr;
  }
  // The archive arriving in pieces of `piece` bytes, announced as they are written.
  void arrive(StreamingUnpack& unpack, const std::string& archive, std::size_t piece, std::size_t upto) {
    fixture_.write_archive("");
    std::ofstream out(fixture_.archive_file(), std::ios::binary | std::ios::app);
    for (std::size_t at = 0; at < upto; at += piece) {
      const std::size_t size = std::min(piece, upto - at);
      out.write(archive.data() + at, static_cast<std::streamsize>(size));
      out.flush();
      unpack.available(at + size);
    }
  }
  bool unpack(StreamingUnpack* unpack, const std::string& archive) {
    delete_tree(fixture_.setup_folder());
    return unpack_release(unpack, archive.size(), archive_path(fixture_.release()), fixture_.setup_folder(),
                          no_progress(), extracted_);
  }
  std::map<std::string, std::string> extracted_tree(const std::string& archive) {
    fixture_.write_archive(archive);
    EXPECT_TRUE(fixture_.extract(no_progress()));
    return tree_of(fixture_.setup_path());
  }

  ReleaseFixture fixture_;
  ExtractedFiles extracted_;
};

// Front to back, in pieces of every length from one byte up.
class Pieces : public zip::SequentialSource {
 public:
  Pieces(const std::string& bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
  std::size_t read(char* data, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, bytes_.size() - at_});
    bytes_.copy(data, n, at_);
    at_ += n;
    return n;
  }

 private:
  const std::string& bytes_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

class Collect : public zip::MemberHandler, public zip::ChunkSink {
 public:
  zip::ChunkSink* begin(const zip::LocalMember& member) override {
    names.push_back(member.name);
    contents.emplace_back();
    return this;
  }
  bool end(bool sound) override {
    if (!sound) contents.back() = "unsound";
    return true;
  }
  char* room(std::size_t& size) override {
    size = sizeof buffer_;
    return buffer_;
  }
  bool fill(std::size_t size) override {
    contents.back().append(buffer_, size);
    return true;
  }
  std::vector<std::string> names;
  std::vector<std::string> contents;

 private:
  char buffer_[1000];
};

}  // namespace

TEST(MemberStream, ReadsEveryLayoutThePackersWrite) {
  const std::vector<FixtureMember> members = {{"a", large_text(50000, 3)}, {"b", "stored", false}, {"c", ""}};
  for (const bool zip64 : {false, true}) {
    FixtureOptions options;
    options.zip64 = zip64;
    const std::string archive = make_zip(members, options);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{29}, std::size_t{1} << 20}) {
      SCOPED_TRACE(std::to_string(piece) + (zip64 ? " zip64" : ""));
      Pieces source(archive, piece);
      Collect collect;
      ASSERT_EQ(zip::read_members(source, collect), zip::StreamEnd::complete);
      EXPECT_EQ(collect.names, (std::vector<std::string>{"a", "b", "c"}));
      EXPECT_EQ(collect.contents, (std::vector<std::string>{members[0].content, "stored", ""}));
    }
  }
}

TEST(MemberStream, ReadsTheSizesThatFollowTheData) {
  if (!is_posix()) GTEST_SKIP() << "the packing tools run under POSIX only";
  if (!tool_available("zip -v")) FAIL() << "Info-ZIP zip is needed for the data-descriptor layout";
  TempDir dir;
  write_file(dir.path() / "in.txt", large_text(30000, 4));
  ASSERT_TRUE(run_command("cd '" + dir.path().string() + "' && zip -q - in.txt > streamed.zip"));
  const std::string streamed = read_file(dir.path() / "streamed.zip");
  Pieces source(streamed, 333);
  Collect collect;
  ASSERT_EQ(zip::read_members(source, collect), zip::StreamEnd::complete);
  EXPECT_EQ(collect.contents, (std::vector<std::string>{large_text(30000, 4)}));
}

TEST(MemberStream, RefusesWhatCannotStreamAndDamage) {
  const auto end_of = [](const std::string& archive) {
    Pieces source(archive, 4096);
    Collect collect;
    return zip::read_members(source, collect);
  };
  // Stored with its sizes after the data: its end cannot be found.
  EXPECT_EQ(end_of(make_zip({FixtureMember("a", "stored", false).flag(0x0008)})), zip::StreamEnd::cannot_stream);
  EXPECT_EQ(end_of(make_zip({FixtureMember("a", "x").method(12)})), zip::StreamEnd::cannot_stream);
  EXPECT_EQ(end_of(make_zip({FixtureMember("a", "text").crc(7)})), zip::StreamEnd::cannot_stream);
  EXPECT_EQ(end_of("prefix" + make_zip({{"a", "x"}})), zip::StreamEnd::cannot_stream);
  // Cut short: the download has not brought the rest.
  const std::string whole = make_zip({{"a", large_text(20000, 5)}});
  EXPECT_EQ(end_of(whole.substr(0, whole.size() / 2)), zip::StreamEnd::stopped);
}

TEST_F(StreamingUnpackTest, GivesTheTreeTodaysExtractionGives) {
  // The manifest first, as the publisher writes it.
  std::vector<FixtureMember> members = sample_members();
  std::rotate(members.begin(), members.end() - 1, members.end());
  const std::string archive = make_zip(members);
  const auto expected = extracted_tree(archive);
  fixture_.write_archive("");
  auto unpacking = start();
  ASSERT_TRUE(unpacking);
  arrive(*unpacking, archive, 65536, archive.size());
  EXPECT_TRUE(unpacking->finish(archive.size()));
  // What goes to two places has its spare copy before the placement.
  EXPECT_EQ(unpacking->store().spares_of(sha256_of(large_text(700000, 1))), 1u);
  EXPECT_EQ(unpacking->store().spares_of(sha256_of(random_bytes(90000, 2))), 0u);
  ASSERT_TRUE(unpack(unpacking.get(), archive));
  EXPECT_EQ(tree_of(fixture_.setup_path()), expected);
  EXPECT_EQ(extracted_.size(), expected.size());
  // As the main flow does once the setup program runs, the unpacking still there.
  EXPECT_TRUE(remove_regular_file(archive_path(fixture_.release())));
  if (is_posix()) {
    EXPECT_EQ(expected.at("bin/run.sh").substr(0, 2), "x:");
  }
  // Placed: the store is gone.
  EXPECT_FALSE(fs::exists(staging_path()));
}

TEST_F(StreamingUnpackTest, RunStoppedMidStreamLeavesOnlyTheStoreAndIsReused) {
  const std::string archive = make_zip(sample_members());
  const auto expected = extracted_tree(archive);
  delete_tree(fixture_.setup_folder());
  fixture_.write_archive("");
  {
    // A block that never arrives intact: the download gives up after these.
    auto unpacking = start();
    arrive(*unpacking, archive, 100000, archive.size() - 1500);
    EXPECT_FALSE(unpacking->finish(archive.size()));
  }
  EXPECT_FALSE(fs::exists(fixture_.setup_path()));
  std::vector<std::string> staged;
  for (const auto& entry : fs::directory_iterator(staging_path())) staged.push_back(entry.path().filename().string());
  ASSERT_FALSE(staged.empty());
  for (const std::string& name : staged) EXPECT_TRUE(is_content_name(name)) << name;  // no partial file stays

  // The next run: what was staged is kept, what is damaged since is made again.
  write_file(staging_path() / staged.front(), "changed on disk");
  auto unpacking = start();
  arrive(*unpacking, archive, 100000, archive.size());
  EXPECT_TRUE(unpacking->finish(archive.size()));
  ASSERT_TRUE(unpack(unpacking.get(), archive));
  EXPECT_EQ(tree_of(fixture_.setup_path()), expected);
}

TEST_F(StreamingUnpackTest, FallsBackWhenTheArchiveCannotStream) {
  std::vector<FixtureMember> members = sample_members();
  members.insert(members.begin() + 1, FixtureMember("unlisted", "stored after all", false).flag(0x0008));
  const std::string archive = make_zip(members);
  const auto expected = extracted_tree(archive);
  auto unpacking = start();
  arrive(*unpacking, archive, 65536, archive.size());
  EXPECT_FALSE(unpacking->finish(archive.size()));
  ASSERT_TRUE(unpack(unpacking.get(), archive));
  EXPECT_EQ(tree_of(fixture_.setup_path()), expected);
  EXPECT_FALSE(fs::exists(staging_path()));
}

TEST_F(StreamingUnpackTest, ContentNotMatchingItsNameFailsAsBefore) {
  const std::string archive =
      make_zip({{sha256_of("right"), "wrong"}, {"arcinfo.json", arcinfo_of({{"right", {"a.txt"}}})}});
  auto unpacking = start();
  arrive(*unpacking, archive, 65536, archive.size());
  EXPECT_FALSE(unpack(unpacking.get(), archive));
  EXPECT_FALSE(fs::exists(staging_path() / sha256_of("right")));
}
