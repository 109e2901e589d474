#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "build_settings.h"
#include "common/local_store.h"
#include "common/temp_dir.h"
#include "platform/crypto.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/hashing.h"
#include "app/settings.h"
#include "telemetry/send_telemetry.h"

// Usage records against the local table store: what the launcher sends must
// be accepted once, stored whole, and every refusal must leave the run alone
// (no exception, no log line).

namespace {

constexpr char kTable[] = "downloads";

// The build's own endpoint, with the account key rather than a SAS token.
TelemetryEndpoint local_endpoint() {
  TelemetryEndpoint endpoint = settings_from_build().telemetry;
  endpoint.sas.clear();
  return endpoint;
}

std::string percent_encoded(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

// A service SAS for the table, signed with the account key the way the store
// checks it (signed version 2019-02-02).
std::string table_sas(const std::string& permissions) {
  const std::string version = "2019-02-02";
  const std::string expiry = "2099-01-01T00:00:00Z";
  const std::string to_sign = permissions + "\n\n" + expiry + "\n/table/" + build_settings::telemetry_account + "/" +
                              kTable + "\n\n\nhttps\n" + version + "\n\n\n\n";
  const std::string signature =
      platform::base64_encode(hmac_sha256(platform::base64_decode(build_settings::telemetry_key), to_sign));
  return "sv=" + version + "&tn=" + kTable + "&sp=" + permissions + "&se=" + percent_encoded(expiry) +
         "&spr=https&sig=" + percent_encoded(signature);
}

// The stored entities whose "product" is the given one.
nlohmann::json entities_of(const std::string& product) {
  const nlohmann::json all = local_store::query_table(kTable);
  nlohmann::json found = nlohmann::json::array();
  if (!all.is_array()) return nullptr;
  for (const auto& entity : all)
    if (entity.value("product", "") == product) found.push_back(entity);
  return found;
}

class TelemetryStore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(local_store::create_table(kTable)); }

  // The table's key is the second and the machine: records of parallel
  // tests on this machine would collide, so each test gets a row of its own.
  TelemetryRecord record(const std::string& action, const std::string& duration = "0") const {
    TelemetryRecord record = make_telemetry_record(wide_from_utf8(product_), "2024.1", action, duration, 4);
    record["RowKey"] = product_;
    return record;
  }

  // A product name of its own, so that tests sharing the table never meet.
  std::string product_ = local_store::unique_name("telemetry-test-");
  LogCapture log_;
};

}  // namespace

TEST_F(TelemetryStore, AcceptedRecordIsStoredWholeAndOnce) {
  const TelemetryRecord record = this->record("success", "17");
  // True means the first answer counted: a repeat would have been refused.
  EXPECT_TRUE(insert_telemetry_record(local_endpoint(), record, current_utc_time()));

  const nlohmann::json stored = entities_of(product_);
  ASSERT_EQ(stored.size(), 1u) << stored.dump();
  int fields = 0;
  for (auto it = record.begin(); it != record.end(); ++it, ++fields)
    EXPECT_EQ(stored[0].value(it.key(), "<missing>"), it.value().get<std::string>()) << it.key();
  EXPECT_EQ(fields, 18);
  EXPECT_EQ(stored[0]["duration"], "17");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(TelemetryStore, SameKeysInTheSameSecondAreRefusedQuietly) {
  const TelemetryEndpoint endpoint = local_endpoint();
  const TelemetryRecord record = this->record("begin");
  const UtcTime now = current_utc_time();
  EXPECT_TRUE(insert_telemetry_record(endpoint, record, now));
  TelemetryRecord again = record;
  again["action"] = "success";
  EXPECT_FALSE(insert_telemetry_record(endpoint, again, now));

  const nlohmann::json stored = entities_of(product_);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["action"], "begin");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(TelemetryStore, WrongKeyIsRefusedQuietly) {
  TelemetryEndpoint endpoint = local_endpoint();
  endpoint.key = platform::base64_encode(std::string(64, '\x5a'));
  EXPECT_FALSE(insert_telemetry_record(endpoint, record("begin"), current_utc_time()));
  EXPECT_EQ(entities_of(product_).size(), 0u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(TelemetryStore, AddOnlySasTokenInsertsWithoutTheKey) {
  TelemetryEndpoint endpoint = local_endpoint();
  endpoint.key.clear();
  // A token without the add right is refused like a wrong key.
  endpoint.sas = table_sas("r");
  EXPECT_FALSE(insert_telemetry_record(endpoint, record("begin"), current_utc_time()));
  EXPECT_EQ(entities_of(product_).size(), 0u);

  endpoint.sas = table_sas("a");
  EXPECT_TRUE(insert_telemetry_record(endpoint, record("begin"), current_utc_time()));
  EXPECT_EQ(entities_of(product_).size(), 1u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(TelemetryStore, BuiltInEndpointReachesTheStore) {
  // This one keeps the real keys, so a record of another test process on
  // this machine in the same second may take its row: then try again.
  nlohmann::json stored;
  for (int attempt = 0; attempt < 3 && stored.empty(); ++attempt) {
    if (attempt > 0) platform::sleep_ms(1100);  // the next second gives the next key
    send_telemetry(settings_from_build().telemetry, wide_from_utf8(product_), "2024.1", "begin", "", 4);
    stored = entities_of(product_);
  }
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["duration"], "0");
  EXPECT_EQ(stored[0]["version_setuplauncher"], "4");
}
