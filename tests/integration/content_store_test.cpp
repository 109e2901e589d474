#include "archive/content_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "common/zip_fixture.h"
#include "platform/system.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

bool is_posix() { return platform::path_separator() == L'/'; }

class CountingProgress : public Progress {
 public:
  void step(std::uint64_t bytes) override {
    ++steps;
    this->bytes += bytes;
  }
  void restart() override {}
  void keep_alive() override {}
  unsigned steps = 0;
  std::uint64_t bytes = 0;
};

class Store : public ::testing::Test {
 protected:
  std::wstring store_folder() const { return wide_from_utf8((dir_.path() / "store").string()); }
  std::unique_ptr<ContentStore> open() const { return ContentStore::open(store_folder()); }
  fs::path stored(const std::string& digest) const { return dir_.path() / "store" / digest; }
  bool put(ContentStore& store, const std::string& content, bool sound = true) {
    const auto writer = store.begin(sha256_of(content));
    return writer && writer->write(content.data(), content.size()) && writer->finish(sound);
  }
  platform::Folder make_setup() const {
    return platform::Folder::make_fresh(wide_from_utf8((dir_.path() / "setup").string()));
  }
  std::string setup_file(const std::string& relative) const { return read_file(dir_.path() / "setup" / relative); }

  TempDir dir_;
};

}  // namespace

TEST_F(Store, KeepsOnlyContentThatHashesToItsName) {
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(put(*store, "good"));
  EXPECT_TRUE(store->holds(sha256_of("good")));
  EXPECT_EQ(read_file(stored(sha256_of("good"))), "good");

  // Wrong bytes, or bytes the reader found damaged: nothing stays, not even the partial file.
  const auto writer = store->begin(sha256_of("expected"));
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->write("other", 5));
  EXPECT_FALSE(writer->finish(true));
  EXPECT_FALSE(put(*store, "crc failed", false));
  EXPECT_FALSE(store->holds(sha256_of("expected")));
  EXPECT_FALSE(store->holds(sha256_of("crc failed")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path() / "store"), fs::directory_iterator()), 1);

  // Names that are no digests never reach the file system.
  EXPECT_FALSE(store->begin("../escape"));
  EXPECT_FALSE(store->begin(std::string(64, 'A')));
  EXPECT_FALSE(store->holds("arcinfo.json"));
}

TEST_F(Store, NextRunReusesVerifiedContentAndDropsDamaged) {
  {
    auto store = open();
    ASSERT_TRUE(put(*store, "kept"));
    ASSERT_TRUE(put(*store, "damaged later"));
  }
  // A run killed while writing leaves a partial file behind.
  write_file(dir_.path() / "store" / (sha256_of("half") + ".part"), "ha");
  write_file(stored(sha256_of("damaged later")), "flipped bits");
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->holds(sha256_of("kept")));
  EXPECT_FALSE(store->holds(sha256_of("damaged later")));
  EXPECT_FALSE(fs::exists(stored(sha256_of("damaged later"))));
  EXPECT_TRUE(put(*store, "half"));
  EXPECT_FALSE(fs::exists(dir_.path() / "store" / (sha256_of("half") + ".part")));

  EXPECT_TRUE(store->remove());
  EXPECT_FALSE(fs::exists(dir_.path() / "store"));
}

TEST_F(Store, AddsCopiesOfLocalFiles) {
  auto store = open();
  write_file(dir_.path() / "seed.bin", "seed content");
  EXPECT_TRUE(store->add_copy(wide_from_utf8((dir_.path() / "seed.bin").string()), sha256_of("seed content")));
  EXPECT_TRUE(store->holds(sha256_of("seed content")));
  EXPECT_FALSE(store->add_copy(wide_from_utf8((dir_.path() / "seed.bin").string()), sha256_of("changed")));
  EXPECT_FALSE(store->add_copy(wide_from_utf8((dir_.path() / "missing").string()), sha256_of("seed content")));
}

TEST_F(Store, RefusesAStoreFolderThatIsALinkOrOthersCanWrite) {
  if (!is_posix()) GTEST_SKIP() << "links and modes as POSIX has them";
  fs::create_directory(dir_.path() / "elsewhere");
  fs::create_directory_symlink(dir_.path() / "elsewhere", dir_.path() / "store");
  EXPECT_FALSE(open());
  fs::remove(dir_.path() / "store");
  fs::create_directory(dir_.path() / "store");
  fs::permissions(dir_.path() / "store", fs::perms::all);
  EXPECT_FALSE(open());
}

TEST_F(Store, PlacesEveryDestinationMovingTheLastUse) {
  auto store = open();
  const std::string shared = "shared";
  const std::string tool = "#!/bin/sh\n";
  ASSERT_TRUE(put(*store, shared));
  ASSERT_TRUE(put(*store, tool));
  platform::Folder setup = make_setup();
  const std::vector<ArcInfoEntry> entries = {{sha256_of(shared), {"a/one.txt", "b\\two.txt"}},
                                             {sha256_of(tool), {"bin/run.sh", "same.txt"}},
                                             {sha256_of(shared), {"c/three.txt", "same.txt"}}};
  CountingProgress progress;
  ExtractedFiles made;
  const UnixModeOf modes = [&](const std::string& digest) {
    return digest == sha256_of(tool) ? std::optional<std::uint32_t>(0100755) : std::nullopt;
  };
  ASSERT_TRUE(place_contents(*store, setup, entries, modes, progress, made));

  for (const char* name : {"a/one.txt", "b/two.txt", "c/three.txt", "same.txt"}) EXPECT_EQ(setup_file(name), shared);
  EXPECT_EQ(setup_file("bin/run.sh"), tool);
  EXPECT_EQ(made.size(), 5u);
  EXPECT_EQ(progress.steps, 3u);
  EXPECT_EQ(progress.bytes, 2 * shared.size() + tool.size());
  // Both contents moved out at their last use; nothing was left behind.
  EXPECT_FALSE(fs::exists(stored(sha256_of(shared))));
  EXPECT_FALSE(fs::exists(stored(sha256_of(tool))));
  if (is_posix()) {
    EXPECT_NE(fs::status(dir_.path() / "setup" / "bin" / "run.sh").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_EQ(fs::status(dir_.path() / "setup" / "a" / "one.txt").permissions() & fs::perms::owner_exec,
              fs::perms::none);
  }
}

TEST_F(Store, SpareCopiesAreMovedAndOnlyTheCopiesMadeCount) {
  auto store = open();
  const std::string shared = "shared by three";
  const std::string digest = sha256_of(shared);
  ASSERT_TRUE(put(*store, shared));
  // What a killed run left under a spare's name is not a spare.
  write_file(dir_.path() / "store" / (digest + ".spare0"), "left by a killed run");
  ASSERT_TRUE(store->make_spares(digest, 2));
  EXPECT_EQ(store->spares_of(digest), 2u);

  CountingProgress progress;
  {
    platform::Folder setup = make_setup();
    ExtractedFiles made;
    ASSERT_TRUE(place_contents(*store, setup, {{digest, {"a.txt", "b.txt", "c.txt"}}}, {}, progress, made));
    EXPECT_EQ(made.size(), 3u);
  }
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) EXPECT_EQ(setup_file(name), shared) << name;
  EXPECT_EQ(store->spares_of(digest), 0u);
  EXPECT_FALSE(fs::exists(dir_.path() / "store" / (digest + ".spare0")));

  // A spare replaced after it was made is not placed: a copy is made instead.
  ASSERT_TRUE(put(*store, shared));
  ASSERT_TRUE(store->make_spares(digest, 1));
  write_file(dir_.path() / "swapped", "swapped");
  fs::rename(dir_.path() / "swapped", dir_.path() / "store" / (digest + ".spare0"));
  fs::remove_all(dir_.path() / "setup");
  platform::Folder again = make_setup();
  ExtractedFiles made_again;
  EXPECT_TRUE(place_contents(*store, again, {{digest, {"a.txt", "b.txt"}}}, {}, progress, made_again));
  for (const char* name : {"a.txt", "b.txt"}) EXPECT_EQ(setup_file(name), shared) << name;
}

TEST_F(Store, PlacementStopsAtWhatItMayNotDo) {
  auto store = open();
  ASSERT_TRUE(put(*store, "x"));
  CountingProgress progress;
  for (const std::vector<ArcInfoEntry>& entries :
       {std::vector<ArcInfoEntry>{{sha256_of("not staged"), {"a.txt"}}},
        std::vector<ArcInfoEntry>{{sha256_of("x"), {"../outside.txt"}}},
        std::vector<ArcInfoEntry>{{sha256_of("x"), {}}}}) {
    fs::remove_all(dir_.path() / "setup");
    platform::Folder setup = make_setup();
    ExtractedFiles made;
    EXPECT_FALSE(place_contents(*store, setup, entries, {}, progress, made));
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "outside.txt"));

  // A name in the setup folder that the placement did not make stays.
  fs::remove_all(dir_.path() / "setup");
  platform::Folder setup = make_setup();
  write_file(dir_.path() / "setup" / "planted.txt", "planted");
  ExtractedFiles made;
  EXPECT_FALSE(place_contents(*store, setup, {{sha256_of("x"), {"planted.txt"}}}, {}, progress, made));
  EXPECT_EQ(setup_file("planted.txt"), "planted");
  EXPECT_TRUE(store->holds(sha256_of("x")));
}
