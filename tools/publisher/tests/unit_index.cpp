#include <gtest/gtest.h>

#include "publish_error.h"
#include "release_index.h"

using namespace publisher;
using nlohmann::json;

namespace {
ReleaseEntry entry_for(const std::string& version) {
  ReleaseEntry entry;
  entry.release = "Release " + version;
  entry.containername = "product-" + version.substr(0, 1) + "-" + version.substr(2, 1);
  entry.filename = "product-" + version + ".zip";
  entry.blockhash = "product-" + version + ".blockhash";
  entry.blocksize = 4194304;
  entry.filesize = 10000000;
  entry.hash = std::string(64, 'a');
  entry.required_setup = 4;
  return entry;
}
}  // namespace

TEST(ReleaseIndex, NewIndexGetsTheReleaseAsCurrent) {
  json index = parse_index("", "new");
  const auto notes = add_release(index, "4.2.1", entry_for("4.2.1"), false, ReleaseSelection::keep);
  EXPECT_EQ(index["current_release"], "4.2.1");
  EXPECT_EQ(notes.size(), 1u);
  const json& entry = index["releases"]["4.2.1"];
  EXPECT_EQ(entry["release"], "Release 4.2.1");
  EXPECT_EQ(entry["containername"], "product-4-2");
  EXPECT_EQ(entry["filename"], "product-4.2.1.zip");
  EXPECT_EQ(entry["blockhash"], "product-4.2.1.blockhash");
  EXPECT_EQ(entry["blocksize"], 4194304);
  EXPECT_EQ(entry["filesize"], 10000000);
  EXPECT_EQ(entry["hash"], std::string(64, 'a'));
  EXPECT_EQ(entry["required_setup"], 4);
  EXPECT_FALSE(index.contains("forbid_release_selection"));
}

TEST(ReleaseIndex, KeepsEarlierReleasesAndOtherKeys) {
  json index = parse_index(R"({"current_release": "4.1.0", "owner": "ops",
                               "releases": {"4.1.0": {"release": "old", "filename": "x.zip"}}})",
                           "stored");
  add_release(index, "4.2.0", entry_for("4.2.0"), false, ReleaseSelection::keep);
  EXPECT_EQ(index["current_release"], "4.1.0");
  EXPECT_EQ(index["releases"]["4.1.0"]["release"], "old");
  EXPECT_EQ(index["owner"], "ops");
  EXPECT_EQ(index["releases"].size(), 2u);

  add_release(index, "4.3.0", entry_for("4.3.0"), true, ReleaseSelection::keep);
  EXPECT_EQ(index["current_release"], "4.3.0");
  EXPECT_EQ(index["releases"].size(), 3u);

  // Publishing the same key again replaces its entry and says so.
  ReleaseEntry again = entry_for("4.3.0");
  again.release = "fixed";
  const auto notes = add_release(index, "4.3.0", again, false, ReleaseSelection::keep);
  EXPECT_EQ(index["releases"]["4.3.0"]["release"], "fixed");
  EXPECT_EQ(index["releases"].size(), 3u);
  EXPECT_FALSE(notes.empty());
}

TEST(ReleaseIndex, ReleaseSelectionCanBeForbiddenAndAllowedAgain) {
  json index = json::object();
  add_release(index, "4.2.1", entry_for("4.2.1"), true, ReleaseSelection::forbid);
  EXPECT_EQ(index["forbid_release_selection"], true);
  add_release(index, "4.2.2", entry_for("4.2.2"), true, ReleaseSelection::keep);
  EXPECT_TRUE(index.contains("forbid_release_selection"));
  // The launcher forbids on any value but null, so allowing removes the key.
  index["forbid_release_selection"] = false;
  add_release(index, "4.2.3", entry_for("4.2.3"), true, ReleaseSelection::allow);
  EXPECT_FALSE(index.contains("forbid_release_selection"));
}

TEST(ReleaseIndex, CurrentReleaseNamingNothingIsRepaired) {
  json index = parse_index(R"({"current_release": "9.9.9", "releases": {}})", "stored");
  add_release(index, "4.2.1", entry_for("4.2.1"), false, ReleaseSelection::keep);
  EXPECT_EQ(index["current_release"], "4.2.1");
}

TEST(ReleaseIndex, NotesKeysTheLauncherRanksOddly) {
  json index = json::object();
  add_release(index, "2.0", entry_for("2.0.0"), true, ReleaseSelection::keep);
  const auto notes = add_release(index, "1.10", entry_for("1.1.0"), false, ReleaseSelection::keep);
  ASSERT_GE(notes.size(), 2u);  // equal rank, and a component of two digits
}

TEST(ReleaseIndex, RefusesDamagedIndexesInsteadOfReplacingThem) {
  for (const char* text : {"{", "[]", "null", "\"x\"", R"({"releases": []})"}) {
    EXPECT_THROW(parse_index(text, "stored"), PublishError) << text;
  }
}

TEST(ReleaseIndex, RefusesEntriesTheLauncherCannotUse) {
  json index = json::object();
  const std::pair<std::string, std::function<void(ReleaseEntry&)>> cases[] = {
      {"../4", [](ReleaseEntry&) {}},
      {"4.2", [](ReleaseEntry& e) { e.filename = "sub/setup.zip"; }},
      {"4.2", [](ReleaseEntry& e) { e.filename = "C:setup.zip"; }},
      {"4.2", [](ReleaseEntry& e) { e.filename = "\\setup.zip"; }},
      {"4.2", [](ReleaseEntry& e) { e.filename = "setup?.zip"; }},
      {"4.2", [](ReleaseEntry& e) { e.filename = "aux.zip"; }},
      {"4.2", [](ReleaseEntry& e) { e.filename = ""; }},
      {"4.2", [](ReleaseEntry& e) { e.blockhash = "list\n"; }},
      {"4.2", [](ReleaseEntry& e) { e.blockhash = e.filename; }},
      {"4.2", [](ReleaseEntry& e) { e.containername = "Product"; }},
      {"4.2", [](ReleaseEntry& e) { e.blocksize = 0; }},
      {"4.2", [](ReleaseEntry& e) { e.hash = std::string(64, 'A'); }},
      {"4.2", [](ReleaseEntry& e) { e.hash = "abc"; }},
      {"4.2", [](ReleaseEntry& e) { e.release = ""; }},
  };
  for (const auto& [key, change] : cases) {
    ReleaseEntry entry = entry_for("4.2.0");
    change(entry);
    EXPECT_THROW(add_release(index, key, entry, true, ReleaseSelection::keep), PublishError)
        << key << " " << entry.filename << " " << entry.blockhash;
  }
  EXPECT_FALSE(index.contains("releases") && !index["releases"].empty());
}
