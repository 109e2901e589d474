#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/temp_dir.h"
#include "platform/system.h"

namespace {

// Every machine the tests run on is 64-bit, the Windows build's runs under
// 64-bit Wine included.
TEST(SystemFacts, OperatingSystemIs64Bit) { EXPECT_TRUE(platform::is_64bit_os()); }

TEST(SystemFacts, ExecutableAndTemporaryFolderExist) {
  const std::wstring executable = platform::executable_path();
  ASSERT_FALSE(executable.empty());
  EXPECT_TRUE(std::filesystem::is_regular_file(fs_path_of(executable)));
  const std::wstring temp = platform::temp_folder();
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(std::filesystem::is_directory(fs_path_of(temp)));
}

TEST(SystemFacts, TypedPathsAreMadeComplete) {
  const std::filesystem::path here = std::filesystem::current_path();
  EXPECT_EQ(platform::absolute_path(L""), L"");
  EXPECT_EQ(fs_path_of(platform::absolute_path(L"setups")), here / "setups");
  EXPECT_EQ(fs_path_of(platform::absolute_path(L"a/../b")), here / "b");
  if (platform::path_separator() == L'/') {
    // After "--destination=" the shell leaves "~" alone; the launcher expands it.
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(fs_path_of(platform::absolute_path(L"~/setups")), std::filesystem::path(home) / "setups");
    EXPECT_EQ(fs_path_of(platform::absolute_path(L"~other")), here / "~other");
  }
}

}  // namespace
