#include <gtest/gtest.h>

#include "common/scripted_ui.h"
#include "app/setuplauncher.h"
#include "platform/system.h"
#include "support/files.h"

namespace {

TEST(ProductIdentification, FileNameStem) {
  struct Case {
    std::wstring path;
    std::optional<std::wstring> stem;
  };
  const Case cases[] = {
      {L"C:\\Users\\Ann\\Downloads\\Brelvant-X64-SQL.exe", L"brelvant-x64-sql"},
      {L"C:\\Users\\Ann\\Downloads\\Brelvant-X64-SQL (1).exe", L"brelvant-x64-sql (1)"},
      {L"C:\\Temp\\BRELVANT-x64-SQL.EXE", L"brelvant-x64-sql"},
      {L"C:\\Temp\\Other.Setup.exe", L"other.setup"},        // only the last dot counts
      {L"/opt/launch/Brelvant-X64-SQL.run", L"brelvant-x64-sql"},
      {L"C:\\My.Folder\\launcher", L"my"},                   // the last dot is in a folder name
      {L"C:\\Temp\\launcher", std::nullopt},                 // no dot at all
      {L"Brelvant.exe", std::nullopt},                       // no separator before the dot
      {L"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(product_stem(c.path), c.stem) << std::string(c.path.begin(), c.path.end());
}

TEST(ProductIdentification, TrimKeepsCase) {
  EXPECT_EQ(trim(L"  Brelvant-X64 \t\r\n"), L"Brelvant-X64");
  EXPECT_EQ(trim(L"   "), L"");
  EXPECT_EQ(trim(L""), L"");
}

TEST(ProductMatrix, OfferedOnlyForTheProductWordInLowerCase) {
  EXPECT_TRUE(names_product_family(L"brelvant-x64-sql"));
  EXPECT_TRUE(names_product_family(L"new-brelvant"));
  EXPECT_FALSE(names_product_family(L"Brelvant-X64"));
  EXPECT_FALSE(names_product_family(L"other.setup"));

  ScriptedUi ui;
  ui.yes_no_answers = {false};
  offer_product_matrix(ui, L"other.setup", "https://example.invalid/matrix.pdf");
  EXPECT_TRUE(ui.yes_no_questions.empty());
  offer_product_matrix(ui, L"brelvant-x64-sql", "https://example.invalid/matrix.pdf");
  ASSERT_EQ(ui.yes_no_questions.size(), 1u);
  EXPECT_EQ(ui.yes_no_questions[0].second, L"Download and install launcher");
  const std::wstring prompt = ui.yes_no_questions[0].first;
  EXPECT_EQ(prompt.find(L"Bitte prüfen Sie vorab"), 0u);
  EXPECT_NE(prompt.find(L"?\nPlease check in advance"), std::wstring::npos);
  EXPECT_NE(prompt.find(L"link?\nhttp"), std::wstring::npos);
}

TEST(MainFlow, SetupFolderName) {
  const std::wstring sep(1, platform::path_separator());
  EXPECT_EQ(setup_folder_for(as_folder_path(L"/home/ann/Downloads"), L"brelvant-x64-sql", "2.1.0"),
            as_folder_path(L"/home/ann/Downloads") + L"brelvant-x64-sql.2.1.0" + sep);
  EXPECT_EQ(setup_folder_for(L"D:/Setups", L"p", "4.2-\xc3\xa4"), as_folder_path(L"D:/Setups") + L"p.4.2-\u00e4" + sep);
}

}  // namespace
