#include <limits>

#include <gtest/gtest.h>

#include "release/release_index.h"

using nlohmann::json;

namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

json example_index() {
  return json::parse(R"({
    "current_release": "4.2.1",
    "releases": {
      "4.2.1": {"release": "Version 4.2.1", "containername": "c421", "filename": "setup-4.2.1.zip",
                "blockhash": "setup-4.2.1.md5", "blocksize": 4194304, "filesize": 10000000,
                "hash": "abc", "required_setup": 4},
      "4.1.0": {"release": "Version 4.1.0"},
      "4.3.0": {"release": "Version 4.3.0"},
      "3.9.9": {"release": "Version 3.9.9"}
    }
  })");
}

std::vector<std::string> keys_of(const std::vector<ReleaseChoice>& choices) {
  std::vector<std::string> keys;
  for (const auto& choice : choices) keys.push_back(choice.key);
  return keys;
}

}  // namespace

TEST(ParseVersion, WeighsEachComponentTenTimesTheNext) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"4.2.1", 421}, {"1.10", 20},  {"2.0", 20},   {"", 0},     {"beta", 0},  {"4.2.", 42},
      {"-1", -1},     {"4.1.1", 411}, {"4.2", 42},  {" 7", 7},   {"+3.1", 31}, {"4..2", 402},
      {"12abc.3", 123}, {".5", 5},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_version(text), expected) << text;
  EXPECT_LT(parse_version("-1"), parse_version(""));
}

TEST(ParseVersion, WrapsInsteadOfOverflowing) {
  // 2^63 wraps to the lowest signed value; 2^64 wraps to 0.
  EXPECT_EQ(parse_version("9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse_version("18446744073709551616"), 0);
  EXPECT_EQ(parse_version("-9223372036854775808.0"), 0);
}

TEST(JsonReading, AbsentOrMistypedKeysReadAsEmptyOrZero) {
  const json entry = json::parse(R"({"s": "text", "n": 12, "wrong_s": 5, "wrong_n": "12", "nul": null})");
  EXPECT_EQ(json_text(entry, "s"), "text");
  EXPECT_EQ(json_text(entry, "wrong_s"), "");
  EXPECT_EQ(json_text(entry, "missing"), "");
  EXPECT_EQ(json_text(entry, "nul"), "");
  EXPECT_EQ(json_count(entry, "n"), 12u);
  EXPECT_EQ(json_count(entry, "wrong_n"), 0u);
  EXPECT_EQ(json_count(entry, "missing"), 0u);
  EXPECT_EQ(json_text(json::array({1}), "s"), "");
  EXPECT_EQ(json_count(json(), "n"), 0u);
}

TEST(JsonReading, NumbersConvertWithDefinedResults) {
  const json entry = json::parse(R"({"frac": 4.9, "neg": -1, "negfrac": -0.5, "negreal": -3.7, "huge": 1e300,
                                     "big": 18446744073709551615, "two63": 9223372036854775808.0})");
  EXPECT_EQ(json_count(entry, "frac"), 4u);
  EXPECT_EQ(json_count(entry, "neg"), kLargest);
  EXPECT_EQ(json_count(entry, "negfrac"), 0u);  // truncates to zero first
  EXPECT_EQ(json_count(entry, "negreal"), kLargest);
  EXPECT_EQ(json_count(entry, "huge"), kLargest);
  EXPECT_EQ(json_count(entry, "big"), kLargest);
  EXPECT_EQ(json_count(entry, "two63"), 9223372036854775808ull);
  EXPECT_EQ(count_from_number(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(count_from_number(std::numeric_limits<double>::infinity()), kLargest);
  EXPECT_EQ(count_from_number(-std::numeric_limits<double>::infinity()), kLargest);
  EXPECT_EQ(count_from_number(18446744073709551616.0), kLargest);
}

TEST(JsonReading, ParseErrorGivesNull) {
  EXPECT_TRUE(parse_json(R"({"current_release": "4.2)").is_null());
  EXPECT_TRUE(parse_json("").is_null());
  EXPECT_TRUE(parse_json("[]").is_array());
}

TEST(ReleaseChoices, CurrentFirstThenOlderOnesInKeyOrder) {
  const auto choices = release_choices(example_index());
  EXPECT_EQ(keys_of(choices), (std::vector<std::string>{"4.2.1", "3.9.9", "4.1.0"}));
  EXPECT_EQ(choices[0].display, "Version 4.2.1");
  EXPECT_EQ(choices[1].display, "Version 3.9.9");
}

TEST(ReleaseChoices, KeyOrderIsByteWiseNotNumeric) {
  const json index = json::parse(R"({"current_release": "9.9",
    "releases": {"9.9": {}, "10.0": {}, "1.0": {}, "2.0": {"release": 7}, "B": {}, "a": {}}})");
  // "10.0" weighs 100, above 9.9's 99; the letters weigh 0.
  EXPECT_EQ(keys_of(release_choices(index)), (std::vector<std::string>{"9.9", "1.0", "2.0", "B", "a"}));
  EXPECT_EQ(release_choices(index)[2].display, "");
}

TEST(ReleaseChoices, AnyForbidValueButNullOffersOnlyTheCurrentRelease) {
  for (const char* value : {"false", "0", "\"\"", "true", "{}"}) {
    json index = example_index();
    index["forbid_release_selection"] = json::parse(value);
    EXPECT_EQ(keys_of(release_choices(index)), (std::vector<std::string>{"4.2.1"})) << value;
  }
  json index = example_index();
  index["forbid_release_selection"] = nullptr;
  EXPECT_EQ(release_choices(index).size(), 3u);
}

TEST(ReleaseChoices, OddIndexesStillOfferOneEntry) {
  for (const char* text : {"[]", "{}", R"({"current_release": "5.0", "releases": []})",
                           R"({"current_release": 5, "releases": {"1.0": {}}})"}) {
    const auto choices = release_choices(json::parse(text));
    ASSERT_GE(choices.size(), 1u) << text;
    EXPECT_EQ(choices[0].display, "") << text;
  }
  // An unknown current release is offered with an empty text, older ones after it.
  const auto choices = release_choices(json::parse(R"({"current_release": "5.0", "releases": {"1.0": {"release": "one"}}})"));
  EXPECT_EQ(keys_of(choices), (std::vector<std::string>{"5.0", "1.0"}));
}

TEST(FillRelease, FillsTheRecordFromTheChosenEntry) {
  const auto choices = release_choices(example_index());
  ASSERT_EQ(choices.size(), 3u);
  EXPECT_EQ(choices[0].display, "Version 4.2.1");
  EXPECT_EQ(choices[2].display, "Version 4.1.0");

  ReleaseInfo release;
  fill_release(example_index(), "4.2.1", release);
  EXPECT_EQ(release.version, "4.2.1");
  EXPECT_EQ(release.containername, "c421");
  EXPECT_EQ(release.filename, "setup-4.2.1.zip");
  EXPECT_EQ(release.blockhash, "setup-4.2.1.md5");
  EXPECT_EQ(release.blocksize, 4194304u);
  EXPECT_EQ(release.filesize, 10000000u);
  EXPECT_EQ(release.hash, "abc");
  EXPECT_EQ(release.required_setup, 4u);

  // The chosen key decides, whatever its entry holds.
  fill_release(example_index(), "4.1.0", release);
  EXPECT_EQ(release.version, "4.1.0");
  EXPECT_EQ(release.filename, "");
  EXPECT_EQ(release.blocksize, 0u);
}

TEST(LauncherGate, RefusesReleasesForNewerLaunchers) {
  const json entries = json::parse(R"({"absent": {}, "four": {"required_setup": 4}, "five": {"required_setup": 5},
      "minus": {"required_setup": -1}, "real": {"required_setup": 4.9}, "text": {"required_setup": "9"},
      "huge": {"required_setup": 1e30}})");
  const std::pair<const char*, bool> cases[] = {{"absent", true}, {"four", true}, {"five", false}, {"minus", false},
                                                {"real", true},   {"text", true}, {"huge", false}};
  for (const auto& [name, passes] : cases) {
    EXPECT_EQ(passes_launcher_gate(json_count(entries[name], "required_setup"), 4), passes) << name;
  }
}

TEST(StoreNames, ContainerAndObjectNamesFollowTheStoresRules) {
  ReleaseInfo release;
  release.version = "4.2.1";
  release.containername = "brelvant-4-2-1";
  release.blockhash = "setup-4.2.1.md5";
  release.filename = "setup-4.2.1.zip";
  EXPECT_EQ(store_name_problem("prod", release), "");
  release.blockhash = "lists/4.2.1/setup.md5";  // virtual folders are names like any other
  EXPECT_EQ(store_name_problem("prod", release), "");

  const std::string prefix = "Release 4.2.1 of prod names an invalid ";
  for (const char* container : {"", "c", "Upper", "two--hyphens", "-edge", "a_b", "a/b"}) {
    ReleaseInfo bad = release;
    bad.containername = container;
    EXPECT_EQ(store_name_problem("prod", bad).rfind(prefix + "container: it ", 0), 0u) << container;
  }
  const std::string too_many_parts = [] {
    std::string name = "a";
    for (int i = 0; i < 254; ++i) name += "/a";
    return name;
  }();
  for (const std::string& object :
       {std::string(), std::string(1025, 'a'), std::string("../other-container/x"), std::string("a/./b"),
        std::string("a//b"), std::string("/a"), std::string("a/"), std::string("name."), std::string("a\\b"),
        std::string("a?b=c"), std::string("a#b"), std::string("a%2e%2e"), std::string("tab\there"), too_many_parts}) {
    ReleaseInfo bad = release;
    bad.blockhash = object;
    EXPECT_EQ(store_name_problem("prod", bad).rfind(prefix + "blockhash list: it ", 0), 0u) << object;
    bad = release;
    bad.filename = object;
    EXPECT_EQ(store_name_problem("prod", bad).rfind(prefix + "archive object: it ", 0), 0u) << object;
  }
  EXPECT_EQ(blob_name_problem(std::string(1024, 'a')), "");
  EXPECT_EQ(blob_name_problem(too_many_parts.substr(2)), "");  // 254 parts
}
