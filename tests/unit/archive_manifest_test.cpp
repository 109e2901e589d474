#include "formats/archive_manifest.h"

#include <gtest/gtest.h>

namespace {

// Elements separated by commas inside a list.
std::string list_of(std::size_t count, const std::string& element) {
  std::string text = "[";
  text.reserve(count * (element.size() + 1) + 2);
  for (std::size_t i = 0; i < count; ++i) text += (i ? "," : "") + element;
  return text + "]";
}

TEST(ArcInfo, ReadsWhatItCanAndTheLaterOfTwoKeys) {
  const auto entries = parse_arcinfo(
      R"([{"hash":"h1","dst":["a",1,["nested"],"b"],"x":{"dst":["not this"]}},)"
      R"(5,{"hash":7,"dst":"c"},{"hash":"first","hash":"second","dst":["d"],"dst":["e","f"]},[{"hash":"h"}]])");
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 5u);
  EXPECT_EQ((*entries)[0].hash, "h1");
  EXPECT_EQ((*entries)[0].dst, (std::vector<std::string>{"a", "b"}));
  for (const std::size_t i : {1u, 2u, 4u}) {
    EXPECT_EQ((*entries)[i].hash, "") << i;
    EXPECT_TRUE((*entries)[i].dst.empty()) << i;
  }
  EXPECT_EQ((*entries)[3].hash, "second");
  EXPECT_EQ((*entries)[3].dst, (std::vector<std::string>{"e", "f"}));

  for (const std::string text : {"", "{\"hash\":\"h\"}", "\"text\"", "[{\"hash\":\"h\"}", "[] trailing"}) {
    const auto none = parse_arcinfo(text);
    ASSERT_TRUE(none) << text;
    EXPECT_TRUE(none->empty()) << text;
  }
  const std::vector<ArcInfoEntry> written = {{"h", {"a\\b", "c"}}, {"g", {"d"}}};
  const auto read = parse_arcinfo(arcinfo_text(written));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ((*read)[0].dst, written[0].dst);
}

TEST(ArcInfo, RefusesMoreEntriesOrDestinationsThanALauncherTakes) {
  const auto most = parse_arcinfo(list_of(kMaxArcInfoEntries, "{}"));
  ASSERT_TRUE(most);
  EXPECT_EQ(most->size(), kMaxArcInfoEntries);
  EXPECT_FALSE(parse_arcinfo(list_of(kMaxArcInfoEntries + 1, "0")));

  // One content in many places, as an empty file may be, counts each place.
  const std::string half = list_of(kMaxArcInfoDestinations / 2, "\"p\"");
  const std::string whole = "[{\"dst\":" + half + "},{\"dst\":" + half + "}]";
  ASSERT_TRUE(parse_arcinfo(whole));
  EXPECT_FALSE(parse_arcinfo("[{\"dst\":" + half + "},{\"dst\":" + half + "},{\"dst\":[\"one more\"]}]"));
  // A list given again replaces the earlier one: only what is kept counts.
  EXPECT_TRUE(parse_arcinfo("[{\"dst\":" + half + ",\"dst\":" + half + "},{\"dst\":" + half + "}]"));
}

}  // namespace
