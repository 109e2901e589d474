#include <gtest/gtest.h>

#include <filesystem>

#include "platform/system.h"

namespace {

// Every machine the tests run on is 64-bit, the Windows build's runs under
// 64-bit Wine included.
TEST(SystemFacts, OperatingSystemIs64Bit) { EXPECT_TRUE(platform::is_64bit_os()); }

TEST(SystemFacts, ExecutableAndTemporaryFolderExist) {
  const std::wstring executable = platform::executable_path();
  ASSERT_FALSE(executable.empty());
  EXPECT_TRUE(std::filesystem::is_regular_file(platform::fs_path(executable)));
  const std::wstring temp = platform::temp_folder();
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(std::filesystem::is_directory(platform::fs_path(temp)));
}

}  // namespace
