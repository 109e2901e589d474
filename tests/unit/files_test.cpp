#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "platform/system.h"
#include "support/files.h"

namespace fs = std::filesystem;

namespace {

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
  EXPECT_FALSE(delete_tree(dir.folder() + L"setup"));  // gone already
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

TEST(Files, ModuleFolderEndsWithASeparator) {
  const std::wstring folder = module_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(platform::is_path_separator(folder.back()));
}

}  // namespace
