#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "common/zip_fixture.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/files.h"

namespace fs = std::filesystem;

namespace {

bool is_posix() { return platform::path_separator() == L'/'; }

std::wstring native(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'|') c = platform::path_separator();
  }
  return path;
}

TEST(Files, FolderPaths) {
  EXPECT_EQ(as_folder_path(L""), L"");
  EXPECT_EQ(as_folder_path(L"C:/x/y"), native(L"C:|x|y|"));
  EXPECT_EQ(as_folder_path(L"C:\\x\\"), native(L"C:|x|"));
  EXPECT_EQ(to_native_separators(L"a/b\\c"), native(L"a|b|c"));
}

TEST(Files, CreateParentFoldersCreatesEachFolderOnceAndNotTheFile) {
  TempDir dir;
  FolderCache cache;
  create_parent_folders(dir.folder() + L"a/b\\file.zip", cache);
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b"));
  EXPECT_FALSE(fs::exists(dir.path() / "a" / "b" / "file.zip"));
  EXPECT_TRUE(cache.count(native(dir.folder() + L"a|b")));

  // The cache says the folders are there: nothing is created again.
  fs::remove(dir.path() / "a" / "b");
  create_parent_folders(dir.folder() + L"a/b/other.zip", cache);
  EXPECT_FALSE(fs::exists(dir.path() / "a" / "b"));
  create_parent_folders(dir.folder() + L"a/b/other.zip");
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b"));

  // A folder path with a trailing separator names the folder itself, which is not made.
  create_parent_folders(dir.folder() + L"c/d/");
  EXPECT_TRUE(fs::is_directory(dir.path() / "c"));
  EXPECT_FALSE(fs::exists(dir.path() / "c" / "d"));
}

TEST(Files, FileSizeIsSixtyFourBit) {
  TempDir dir;
  EXPECT_EQ(file_size(dir.folder() + L"missing"), 0);
  const auto big = dir.path() / "big";
  write_file(big, "");
  fs::resize_file(big, 5'368'709'120ull);  // sparse
  EXPECT_EQ(file_size(dir.folder() + L"big"), 5'368'709'120ll);
}

TEST(Files, DeleteTreeRemovesReadOnlyFilesAndNestedFolders) {
  TempDir dir;
  const auto tree = dir.path() / "setup";
  write_file(tree / "sub" / "deeper" / "a.txt", "a");
  write_file(tree / "readonly.txt", "r");
  fs::permissions(tree / "readonly.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_TRUE(delete_tree(dir.folder() + L"setup"));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_TRUE(delete_tree(dir.folder() + L"setup"));  // gone already: nothing left
  EXPECT_FALSE(delete_tree(L""));
}

TEST(Files, DeleteTreeNeverFollowsLinks) {
  TempDir dir;
  write_file(dir.path() / "outside" / "precious.txt", "keep me");
  write_file(dir.path() / "setup" / "own.txt", "x");
  std::error_code ec;
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "setup" / "folder-link", ec);
  if (ec) GTEST_SKIP() << "symbolic links not available: " << ec.message();
  fs::create_symlink(dir.path() / "outside" / "precious.txt", dir.path() / "setup" / "file-link");
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "setup-link");

  EXPECT_TRUE(delete_tree(dir.folder() + L"setup"));
  EXPECT_FALSE(fs::exists(dir.path() / "setup"));
  // A setup folder that is itself a link: the link goes, its target stays.
  EXPECT_TRUE(delete_tree(dir.folder() + L"setup-link/"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "setup-link")));
  EXPECT_EQ(read_file(dir.path() / "outside" / "precious.txt"), "keep me");
}

TEST(Files, ParentFolderKeepsItsSeparator) {
  EXPECT_EQ(parent_folder(native(L"|a|b|setup|")), native(L"|a|b|"));
  EXPECT_EQ(parent_folder(native(L"|a|b.exe")), native(L"|a|"));
  EXPECT_EQ(parent_folder(L"name"), L"");
}

TEST(Files, ModuleFolderEndsWithASeparator) {
  const std::wstring folder = module_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(platform::is_path_separator(folder.back()));
}

// ---------------------------------------------------------------------------
// Opening files where others may have put a link (platform/file.h)
// ---------------------------------------------------------------------------

using platform::File;
using platform::Folder;

bool opens(const fs::path& path, File::Mode mode) { return File(path.wstring(), mode).is_open(); }

// Planted by "another user"; false where the platform makes no links.
bool plant_link(const fs::path& target, const fs::path& link) {
  std::error_code ec;
  if (fs::is_directory(target)) fs::create_directory_symlink(target, link, ec);
  else fs::create_symlink(target, link, ec);
  return !ec;
}

TEST(FileAccess, OpensOnlyRegularFilesAndNeverALink) {
  TempDir dir;
  write_file(dir.path() / "plain.txt", "plain");
  write_file(dir.path() / "target.txt", "keep me");
  for (const File::Mode mode : {File::Mode::read, File::Mode::update}) {
    EXPECT_TRUE(opens(dir.path() / "plain.txt", mode));
    EXPECT_FALSE(opens(dir.path(), mode));
    EXPECT_FALSE(opens(dir.path() / "missing", mode));
  }
  EXPECT_FALSE(opens(dir.path() / "plain.txt", File::Mode::create_new));
  EXPECT_FALSE(opens(dir.path(), File::Mode::create_new));

  // A second name: read, but never written through.
  fs::create_hard_link(dir.path() / "plain.txt", dir.path() / "second.txt");
  EXPECT_TRUE(opens(dir.path() / "second.txt", File::Mode::read));
  EXPECT_FALSE(opens(dir.path() / "second.txt", File::Mode::update));

  if (is_posix()) {
    // A FIFO would block an ordinary open until someone writes to it.
    ASSERT_TRUE(run_command("mkfifo '" + (dir.path() / "fifo").string() + "'"));
    EXPECT_FALSE(opens(dir.path() / "fifo", File::Mode::read));
    EXPECT_FALSE(opens(dir.path() / "fifo", File::Mode::update));
  }

  if (!plant_link(dir.path() / "target.txt", dir.path() / "link.txt")) GTEST_SKIP() << "no symbolic links here";
  plant_link(dir.path() / "nothing-yet.txt", dir.path() / "dangling.txt");
  for (const File::Mode mode : {File::Mode::read, File::Mode::update, File::Mode::create_new}) {
    EXPECT_FALSE(opens(dir.path() / "link.txt", mode));
    EXPECT_FALSE(opens(dir.path() / "dangling.txt", mode));
  }
  EXPECT_EQ(read_file(dir.path() / "target.txt"), "keep me");
  EXPECT_FALSE(fs::exists(dir.path() / "nothing-yet.txt"));
}

TEST(FileAccess, ReadsWritesResizesAndTellsItsIdentity) {
  TempDir dir;
  const std::wstring path = dir.folder() + L"f.bin";
  File file(path, File::Mode::create_new);
  ASSERT_TRUE(file.is_open());
  ASSERT_TRUE(file.write("0123456789", 10));
  EXPECT_EQ(file.size(), 10u);
  ASSERT_TRUE(file.resize(4));
  ASSERT_TRUE(file.resize(6));
  ASSERT_TRUE(file.seek(0));
  char bytes[16] = {};
  EXPECT_EQ(file.read(bytes, sizeof bytes), 6u);
  EXPECT_EQ(std::string(bytes, 6), std::string("0123\0\0", 6));
  EXPECT_EQ(file.read(bytes, sizeof bytes), 0u);

  const auto identity = file.identity();
  ASSERT_TRUE(identity);
  EXPECT_TRUE(file.close());
  EXPECT_FALSE(file.identity());
  EXPECT_EQ(File(path, File::Mode::read).identity(), identity);
  write_file(dir.path() / "other.bin", "x");
  EXPECT_NE(File(dir.folder() + L"other.bin", File::Mode::read).identity(), identity);
}

TEST(FileAccess, AtomicWriteReplacesAStalePartialButNeverWritesThroughALink) {
  TempDir dir;
  const std::wstring path = dir.folder() + L"state";
  write_file(dir.path() / "state.new", "left by a run that died");
  ASSERT_TRUE(write_file_atomically(path, "12\n"));
  EXPECT_EQ(read_file(dir.path() / "state"), "12\n");
  EXPECT_FALSE(fs::exists(dir.path() / "state.new"));

  write_file(dir.path() / "target.txt", "keep me");
  if (!plant_link(dir.path() / "target.txt", dir.path() / "state.new")) GTEST_SKIP() << "no symbolic links here";
  EXPECT_FALSE(write_file_atomically(path, "13\n"));
  EXPECT_EQ(read_file(dir.path() / "target.txt"), "keep me");
  EXPECT_EQ(read_file(dir.path() / "state"), "12\n");
}

TEST(SetupFolderAccess, IsMadeFreshAndNothingInItFollowsALink) {
  TempDir dir;
  write_file(dir.path() / "outside" / "precious.txt", "keep me");
  fs::create_directories(dir.path() / "existing");
  EXPECT_FALSE(Folder::make_fresh(dir.folder() + L"existing").is_open());

  Folder folder = Folder::make_fresh(dir.folder() + L"setup");
  ASSERT_TRUE(folder.is_open());
  ASSERT_TRUE(folder.make_folders(native(L"a|b")));
  File file = folder.create_file(native(L"a|b|f.txt"));
  ASSERT_TRUE(file.is_open());
  ASSERT_TRUE(file.write("new", 3));
  EXPECT_EQ(folder.identity_of(native(L"a|b|f.txt")), file.identity());
  EXPECT_FALSE(folder.create_file(native(L"a|b|f.txt")).is_open());  // only new files
  EXPECT_FALSE(folder.create_file(native(L"missing|f.txt")).is_open());
  file.close();
  EXPECT_TRUE(folder.remove_file(native(L"a|b|f.txt")));
  EXPECT_FALSE(folder.identity_of(native(L"a|b|f.txt")));

  // What another user who could write there might plant.
  const fs::path setup = dir.path() / "setup";
  if (!plant_link(dir.path() / "outside", setup / "folder-link")) GTEST_SKIP() << "no symbolic links here";
  plant_link(dir.path() / "outside" / "precious.txt", setup / "file-link.txt");
  plant_link(dir.path() / "outside", dir.path() / "setup-link");
  EXPECT_FALSE(Folder::make_fresh(dir.folder() + L"setup-link").is_open());
  EXPECT_FALSE(folder.make_folders(native(L"folder-link|x")));
  EXPECT_FALSE(folder.create_file(native(L"folder-link|precious.txt")).is_open());
  EXPECT_FALSE(folder.create_file(native(L"folder-link|new.txt")).is_open());
  EXPECT_FALSE(folder.create_file(L"file-link.txt").is_open());
  // The link's own identity, never its target's.
  EXPECT_NE(folder.identity_of(L"file-link.txt"),
            File(dir.folder() + native(L"outside|precious.txt"), File::Mode::read).identity());
  EXPECT_TRUE(folder.remove_file(L"file-link.txt"));
  EXPECT_EQ(read_file(dir.path() / "outside" / "precious.txt"), "keep me");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "outside"), fs::directory_iterator()), 1);
}

TEST(FreeDiskSpace, IsReadForAnExistingFolderOnly) {
  TempDir dir;
  const auto free = platform::free_disk_space(dir.folder());
  ASSERT_TRUE(free);
  EXPECT_GT(*free, 0u);
  EXPECT_FALSE(platform::free_disk_space(dir.folder() + L"missing"));
}

}  // namespace
