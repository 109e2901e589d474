#include <gtest/gtest.h>

#include "common/release_fixture.h"
#include "archive/extraction.h"
#include "platform/system.h"
#include "support/files.h"
#include "support/hashing.h"

namespace {

// Setup folders deeper than the classic 260-character limit: a user's
// Downloads folder plus a long product and version name gets there quickly.
TEST(LongPaths, ExtractionCopiesAndDeletionWorkBeyond260Characters) {
  ReleaseFixture fixture;
  const std::wstring sep(1, platform::path_separator());
  std::wstring destination = fixture.release().destination;
  for (int level = 0; level < 5; ++level) destination += std::wstring(45, static_cast<wchar_t>(L'a' + level)) + sep;
  const std::wstring setup = destination + std::wstring(45, L'f') + sep;
  create_parent_folders(setup);  // the destination, not the setup folder itself
  ASSERT_GT(setup.size() + 20, 300u);

  const std::string content = "deep content\n";
  fixture.write_archive(make_zip(release_members({{content, {"sub/dir/first.txt", "second.txt"}}})));
  ExtractedFiles extracted;
  ASSERT_TRUE(extract_archive(archive_path(fixture.release()), setup, no_progress(), extracted));
  EXPECT_EQ(extracted.size(), 2u);

  EXPECT_EQ(sha256_file_hex(setup + L"sub" + sep + L"dir" + sep + L"first.txt"), sha256_of(content));
  EXPECT_EQ(sha256_file_hex(setup + L"second.txt"), sha256_of(content));
  EXPECT_EQ(file_size(setup + L"second.txt"), static_cast<std::int64_t>(content.size()));
  EXPECT_TRUE(delete_tree(setup));
  EXPECT_EQ(file_size(setup + L"second.txt"), 0);
}

}  // namespace
