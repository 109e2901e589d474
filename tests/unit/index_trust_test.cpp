// The signed release index (signed by the openssl command line, in
// tests/data/signatures): what makes the launcher refuse it, and the highest
// sequence kept per user and product.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "formats/index_signature.h"
#include "formats/release_index.h"
#include "release/index_trust.h"

namespace fs = std::filesystem;

namespace {

std::string vector_file(const std::string& name) { return test_data("signatures/" + name); }

const std::int64_t kNow = *parse_utc_time("2024-06-01T12:00:00Z");

class SignedIndex : public testing::Test {
 protected:
  std::string problem(const std::string& name, const std::string& signature, std::uint64_t seen = 0,
                      const std::vector<std::string>& keys = {test_data("signatures/p256.pub")}) {
    return problem_of(vector_file(name + ".json"), signature, seen, keys);
  }
  std::string problem_of(const std::string& bytes, const std::string& signature, std::uint64_t seen,
                         const std::vector<std::string>& keys) {
    return index_trust_problem("prod", bytes, parse_json(bytes), signature, keys, seen, kNow);
  }

  const std::string index = vector_file("index-2.json");
  const std::string signature = vector_file("index-2.sig");
  const std::vector<std::string> p256 = {vector_file("p256.pub")};
  const std::vector<std::string> other = {vector_file("other.pub")};
};

const char kInvalid[] = "prod release index signature is not valid";
const char kOlder[] = "prod release index is older than the one seen before";
const char kExpired[] = "prod release index has expired";

}  // namespace

TEST_F(SignedIndex, AcceptsTheSignedIndexAsServedOnly) {
  EXPECT_EQ(problem("index-2", signature), "");
  std::string tampered = index;
  tampered[index.find("\"hash\": \"") + 9] ^= 1;
  const std::string reformatted = parse_json(index).dump(2) + "\n";  // the same JSON, other whitespace
  ASSERT_NE(reformatted, index);
  for (const std::string& changed : {tampered, reformatted, index + "\n", index.substr(0, index.size() - 1)})
    EXPECT_EQ(problem_of(changed, signature, 0, p256), kInvalid) << changed;
}

TEST_F(SignedIndex, ASignatureObjectThatIsMissingTruncatedOrByAnotherKeyIsRefused) {
  EXPECT_EQ(problem("index-2", ""), kInvalid);
  EXPECT_EQ(problem("index-2", signature.substr(0, signature.size() / 2) + "\n"), kInvalid);
  EXPECT_EQ(problem("index-2", signature.substr(0, signature.size() - 6) + "\n"), kInvalid);
  EXPECT_EQ(problem("index-2", signature, 0, other), kInvalid);
  EXPECT_EQ(problem("index-2", signature, 0, {}), kInvalid);
  EXPECT_EQ(problem("index-2", vector_file("index-1.sig")), kInvalid);  // a genuine line of another index
}

TEST_F(SignedIndex, AnyLineWithAnyKeyDuringAChangeOfKeys) {
  const std::string rotation = vector_file("index-2.rotation.sig");
  ASSERT_EQ(parse_index_signature(rotation).size(), 2u) << "the first line is not Base64 and is skipped";
  EXPECT_EQ(problem("index-2", rotation, 0, other), "");
  EXPECT_EQ(problem("index-2", rotation, 0, p256), "");
  EXPECT_EQ(problem("index-2", signature, 0, {other[0], p256[0]}), "");
  // A key file of two keys is read as two keys.
  EXPECT_EQ(problem("index-2", vector_file("index-2.sig"), 0, {vector_file("two_keys.pub")}), kInvalid);
  std::string crlf = signature;
  crlf.insert(crlf.size() - 1, "\r");
  EXPECT_EQ(problem("index-2", "\n" + crlf + "MEUC\n"), "");
}

TEST_F(SignedIndex, SequenceAndExpiry) {
  EXPECT_EQ(problem("index-2", signature, 2), "") << "an equal sequence is a second run";
  EXPECT_EQ(problem("index-2", signature, 3), kOlder);
  EXPECT_EQ(problem("index-1", vector_file("index-1.sig"), 2), kOlder);
  EXPECT_EQ(problem("index-1", vector_file("index-1.sig"), 0), "");
  EXPECT_EQ(problem("index-3-expired", vector_file("index-3-expired.sig"), 2), kExpired);
  EXPECT_EQ(problem("index-3-no-expiry", vector_file("index-3-no-expiry.sig"), 2), kExpired);
  // The signature is checked first: nothing else of an unsigned index counts.
  EXPECT_EQ(problem("index-1", signature, 2), kInvalid);
}

TEST(IndexTime, ReadsOnlyRealUtcTimesInTheIndexForm) {
  EXPECT_EQ(parse_utc_time("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(parse_utc_time("2000-02-29T23:59:59Z"), 951868799);
  EXPECT_EQ(parse_utc_time("2099-12-31T23:59:59Z"), 4102444799);
  for (const std::int64_t seconds : {std::int64_t{0}, std::int64_t{951868799}, std::int64_t{4102444799}, kNow})
    EXPECT_EQ(parse_utc_time(utc_time_text(seconds)), seconds) << utc_time_text(seconds);
  for (const char* text : {"", "2024-06-01T12:00:00", "2024-06-01 12:00:00Z", "2024-06-01T12:00:00+00:00",
                           "2023-02-29T00:00:00Z", "2024-04-31T00:00:00Z", "2024-13-01T00:00:00Z",
                           "2024-06-01T24:00:00Z", "2024-06-01T12:60:00Z", "2024-06-01T12:00:60Z",
                           "1969-12-31T23:59:59Z", "2024-6-01T12:00:00Z", "+024-06-01T12:00:00Z"})
    EXPECT_FALSE(parse_utc_time(text)) << text;
  EXPECT_FALSE(index_expiry(nlohmann::json{{"expires", 4102444799}}));
  EXPECT_EQ(index_sequence(nlohmann::json{{"sequence", 7}}), 7u);
  for (const nlohmann::json& sequence :
       {nlohmann::json(-1), nlohmann::json(2.5), nlohmann::json("3"), nlohmann::json()})
    EXPECT_EQ(index_sequence(nlohmann::json{{"sequence", sequence}}), 0u) << sequence;
}

TEST(SequenceState, KeptPerProductAndDamageReadsAsNothingSeen) {
  StateFolderCapture state;
  LogCapture log;
  EXPECT_EQ(highest_sequence_seen(L"prod"), 0u);
  EXPECT_TRUE(log.text().empty()) << "no state yet is not damage";
  ASSERT_TRUE(remember_sequence(L"prod", 41));
  ASSERT_TRUE(remember_sequence(L"prod", 42));
  EXPECT_EQ(highest_sequence_seen(L"prod"), 42u);
  EXPECT_EQ(highest_sequence_seen(L"other"), 0u);
  EXPECT_EQ(read_file(state.folder() / "prod.index-sequence"), "42\n");
  std::error_code ec;
  EXPECT_FALSE(fs::exists(state.folder() / "prod.index-sequence.new", ec));

  for (const std::string& damage : {std::string(), std::string("4x\n"), std::string("-1"), std::string(500, '7'),
                                    std::string("99999999999999999999\n")}) {
    write_file(state.folder() / "prod.index-sequence", damage);
    EXPECT_EQ(highest_sequence_seen(L"prod"), 0u) << damage;
  }
  EXPECT_NE(log.text().find("taken as nothing seen"), std::string::npos) << log.text();

  // A state that cannot be read or written is logged, never fatal.
  fs::remove(state.folder() / "prod.index-sequence");
  fs::create_directories(state.folder() / "prod.index-sequence" / "inside");
  EXPECT_EQ(highest_sequence_seen(L"prod"), 0u);
  EXPECT_FALSE(remember_sequence(L"prod", 43));
  EXPECT_FALSE(remember_sequence(L"../prod", 43));
  EXPECT_NE(log.text().find("cannot be written"), std::string::npos) << log.text();
}
