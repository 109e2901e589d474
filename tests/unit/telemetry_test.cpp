#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "build_settings.h"
#include "common/temp_dir.h"
#include "platform/crypto.h"
#include "support/machine_text.h"
#include "app/settings.h"
#include "telemetry/send_telemetry.h"
#include "app/stored_text.h"
#include "telemetry/telemetry_record.h"

namespace {

// The local store's test account key, and the signature openssl gives for it:
// printf 'Tue, 05 Mar 2024 14:07:09 GMT\n/launchertest/downloads' |
//   openssl dgst -sha256 -mac HMAC -macopt hexkey:<key bytes> -binary | base64
constexpr char kAccountKey[] =
    "6WTcPKtSs6AAa+ff2dvKoh2ynZ67WIUwxlscv/s836ul6ritxk70TNUVXQkbdTwmQDPR2t6V54CJsIKCOhW/5Q==";
constexpr char kExpectedSignature[] = "tC1hGYufYGTsFwP7by/exN12LVNXDUCwgKMQaYJhRWA=";
constexpr std::int64_t kTuesday5March2024 = 1709647629;  // 2024-03-05 14:07:09 UTC

TelemetryRecord fixed_record() {
  TelemetryRecord record = TelemetryRecord::object();
  record["product"] = "brelvant-gr\xC3\xBC\xC3\x9F" "e";
  record["version"] = "2024.1";
  record["version_setuplauncher"] = "4";
  record["action"] = "begin";
  record["duration"] = "0";
  record["OS_Major"] = "10";
  record["OS_Minor"] = "0";
  record["SP_Major"] = "0";
  record["SP_Minor"] = "0";
  record["physicalmemory_gib"] = "16.00";
  record["machineguid"] = "3f2a9c4e-1b7d-4e2a-9c3b-5d6e7f8a9b0c";
  record["architecture"] = "x64";
  record["PartitionKey"] = "20240305140709";
  record["RowKey"] = "3f2a9c4e-1b7d-4e2a-9c3b-5d6e7f8a9b0c";
  record["record_id"] = "6b1e0f3a-8c2d-11ef-9a4b-0800200c9a66";
  record["geo_id"] = "94";
  record["iso3166_country"] = "DE";
  record["locale_sname"] = "de-DE";
  return record;
}

const std::vector<std::string> kKeyOrder = {
    "OS_Major", "OS_Minor",     "PartitionKey", "RowKey", "SP_Major",  "SP_Minor",
    "action",   "architecture", "duration",     "geo_id", "iso3166_country", "locale_sname",
    "machineguid", "physicalmemory_gib", "product", "record_id", "version", "version_setuplauncher"};

}  // namespace

TEST(TelemetrySigning, SignatureIsStandardHmacSha256InBase64) {
  const std::string date = request_date_text(utc_from_unix_seconds(kTuesday5March2024));
  const std::string to_sign = shared_key_lite_string_to_sign(date, "launchertest");
  EXPECT_EQ(to_sign, "Tue, 05 Mar 2024 14:07:09 GMT\n/launchertest/downloads");
  const std::string key = platform::base64_decode(kAccountKey);
  ASSERT_EQ(key.size(), 64u);
  const std::string signature = shared_key_lite_signature(key, to_sign);
  EXPECT_EQ(signature, kExpectedSignature);
  EXPECT_EQ(signature.size(), 44u);
}

TEST(TelemetrySigning, DatesAndPartitionKeysFromUnixTime) {
  struct Case {
    std::int64_t seconds;
    const char* date;
    const char* partition_key;
  };
  const Case cases[] = {
      {kTuesday5March2024, "Tue, 05 Mar 2024 14:07:09 GMT", "20240305140709"},
      {951868799, "Tue, 29 Feb 2000 23:59:59 GMT", "20000229235959"},  // leap day of a century year
      {0, "Thu, 01 Jan 1970 00:00:00 GMT", "19700101000000"},
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT", "19691231235959"},
      {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT", "21000101000000"},  // beyond 32-bit time
  };
  for (const Case& c : cases) {
    const UtcTime time = utc_from_unix_seconds(c.seconds);
    EXPECT_EQ(request_date_text(time), c.date) << c.seconds;
    EXPECT_EQ(partition_key(time), c.partition_key) << c.seconds;
  }
}

TEST(TelemetryRecordText, MemoryIsRoundedToHalfGibSteps) {
  struct Case {
    double gib;
    const char* text;
  };
  const Case cases[] = {{7.25, "7.00"},   {7.5, "7.50"},   {7.75, "7.50"}, {7.875, "8.00"}, {15.9, "16.00"},
                        {0.0, "0.00"},    {0.39, "0.00"},  {0.4, "0.50"},  {0.81, "1.00"},  {1024.0, "1024.00"},
                        {127.99, "128.00"}};
  for (const Case& c : cases) {
    const auto bytes = static_cast<std::uint64_t>(c.gib * 1073741824.0 + 0.5);
    EXPECT_EQ(memory_gib_text(bytes), c.text) << c.gib;
  }
}

TEST(TelemetryRecordText, BodyOfAFixedRecordByteForByte) {
  const std::string body = serialize_record(fixed_record());
  EXPECT_EQ(body,
            "{\"OS_Major\": \"10\", \"OS_Minor\": \"0\", \"PartitionKey\": \"20240305140709\", "
            "\"RowKey\": \"3f2a9c4e-1b7d-4e2a-9c3b-5d6e7f8a9b0c\", \"SP_Major\": \"0\", \"SP_Minor\": \"0\", "
            "\"action\": \"begin\", \"architecture\": \"x64\", \"duration\": \"0\", \"geo_id\": \"94\", "
            "\"iso3166_country\": \"DE\", \"locale_sname\": \"de-DE\", "
            "\"machineguid\": \"3f2a9c4e-1b7d-4e2a-9c3b-5d6e7f8a9b0c\", \"physicalmemory_gib\": \"16.00\", "
            "\"product\": \"brelvant-gr\xC3\xBC\xC3\x9F" "e\", \"record_id\": \"6b1e0f3a-8c2d-11ef-9a4b-0800200c9a66\", "
            "\"version\": \"2024.1\", \"version_setuplauncher\": \"4\"}");
  // The store must be told the length in bytes: two of the characters take two each.
  const std::vector<std::wstring> headers = telemetry_header_lines(body, "d", "a");
  ASSERT_FALSE(headers.empty());
  EXPECT_EQ(headers[0], L"Content-Length: 499");
  EXPECT_EQ(nlohmann::json::parse(body), fixed_record());
}

TEST(TelemetryRecordText, StringsAreEscapedButUtf8IsKept) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
      {std::string("nul\0end", 7), "\"nul\\u0000end\""},
      {"/ \x7f", "\"/ \x7f\""},
      {"\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "\"\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_quoted(c.text), c.quoted);
  EXPECT_EQ(serialize_record(TelemetryRecord::object()), "{}");
}

TEST(TelemetryRequest, HeaderLinesInOrder) {
  const std::string body = "{\"product\": \"\xC3\xBC\"}";
  EXPECT_EQ(telemetry_header_lines(body, "Tue, 05 Mar 2024 14:07:09 GMT", "SharedKeyLite acct:c2ln"),
            (std::vector<std::wstring>{L"Content-Length: 17", L"x-ms-date: Tue, 05 Mar 2024 14:07:09 GMT",
                                       L"Authorization: SharedKeyLite acct:c2ln", L"Content-Type: application/json",
                                       L"Accept: application/json;odata=fullmetadata",
                                       L"x-ms-version: 2016-05-31"}));
  // With a SAS token the authorisation travels in the path instead.
  const auto sas_lines = telemetry_header_lines(body, "D", "");
  ASSERT_EQ(sas_lines.size(), 5u);
  EXPECT_EQ(sas_lines[1], L"x-ms-date: D");
  EXPECT_EQ(sas_lines[2], L"Content-Type: application/json");
  EXPECT_EQ(telemetry_object_path(""), L"/downloads");
  EXPECT_EQ(telemetry_object_path("sv=2019-02-02&tn=downloads&sig=a%2Bb"), L"/downloads?sv=2019-02-02&tn=downloads&sig=a%2Bb");
  EXPECT_EQ(telemetry_object_path("?sv=1&sig=x"), L"/downloads?sv=1&sig=x");
}

TEST(TelemetryRecordFields, GatheredRecordHasEighteenStringFields) {
  const TelemetryRecord record = make_telemetry_record(L"brelvant-x64-sql", "2024.1", "success", "", 4);
  std::vector<std::string> keys;
  for (auto it = record.begin(); it != record.end(); ++it) {
    keys.push_back(it.key());
    EXPECT_TRUE(it->is_string()) << it.key();
  }
  EXPECT_EQ(keys, kKeyOrder);
  EXPECT_EQ(record["duration"], "0");
  EXPECT_EQ(record["version_setuplauncher"], "4");
  EXPECT_EQ(record["RowKey"], record["machineguid"]);
  EXPECT_EQ(record["PartitionKey"].get<std::string>().size(), 14u);
  const std::string id = record["record_id"];
  if (!id.empty()) {
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
  }
  EXPECT_TRUE(record["architecture"] == "x64" || record["architecture"] == "x86");
}

TEST(TelemetryMachineText, MachineIdInGuidForm) {
  struct Case {
    std::string content;
    std::string guid;
  };
  const Case cases[] = {
      {"0123456789ABCDEF0123456789abcdef\n", "01234567-89ab-cdef-0123-456789abcdef"},
      {"0123456789abcdef0123456789abcdef", "01234567-89ab-cdef-0123-456789abcdef"},
      {"0123456789abcdef0123456789abcde\n", ""},    // one digit short
      {"0123456789abcdef0123456789abcdef0\n", ""},  // one too many
      {"0123456789abcdef\n0123456789abcdef\n", ""},
      {"0123456789abcdeg0123456789abcdef\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(guid_from_machine_id(c.content), c.guid) << c.content;
  EXPECT_EQ(machine_guid_error_text(2, 5), "Cannot query, error: 2 last error: 5");
}

TEST(TelemetryMachineText, LocaleNamesFromPosixNames) {
  struct Case {
    const char* name;
    const char* sname;
    const char* country;
  };
  const Case cases[] = {
      {"de_DE.UTF-8", "de-DE", "DE"},     {"en_US", "en-US", "US"},   {"sr_RS@latin", "sr-RS", "RS"},
      {"es_419.UTF-8", "es-419", "419"}, {"fr", "fr", "<unkown>"},    {"C.UTF-8", "<unkown>", "<unkown>"},
      {"POSIX", "<unkown>", "<unkown>"}, {"", "<unkown>", "<unkown>"}, {"../x", "<unkown>", "<unkown>"},
  };
  for (const Case& c : cases) {
    const LocaleNames names = locale_names_from_posix(c.name);
    EXPECT_EQ(names.locale_sname, c.sname) << c.name;
    EXPECT_EQ(names.iso3166_country, c.country) << c.name;
  }
}

TEST(TelemetryMachineText, KernelVersionsAndUuids) {
  unsigned long major = 9, minor = 9;
  EXPECT_TRUE(kernel_version_numbers("6.1.0-18-amd64", major, minor));
  EXPECT_EQ(major, 6u);
  EXPECT_EQ(minor, 1u);
  EXPECT_TRUE(kernel_version_numbers("5", major, minor));
  EXPECT_EQ(major, 5u);
  EXPECT_EQ(minor, 0u);
  EXPECT_FALSE(kernel_version_numbers("Linux", major, minor));

  const unsigned char ones[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                  0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  const unsigned char zeros[16] = {};
  EXPECT_EQ(uuid_v4_text(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(uuid_v4_text(zeros), "00000000-0000-4000-8000-000000000000");
}

TEST(TelemetrySettings, StoredFormsDecodeToTheBuildSettings) {
  // The compiler's encoder against the platform's decoder, at every padding length.
  static constexpr char kText[] = "abcdefg\xFF";
  EXPECT_EQ(std::string(base64_at_build<8>(kText).text), platform::base64_encode(std::string(kText, 8)));
  EXPECT_EQ(std::string(base64_at_build<7>(kText).text), platform::base64_encode(std::string(kText, 7)));
  EXPECT_EQ(std::string(base64_at_build<6>(kText).text), platform::base64_encode(std::string(kText, 6)));
  EXPECT_EQ(std::string(base64_at_build<0>(kText).text), "");

  const TelemetryEndpoint endpoint = settings_from_build().telemetry;
  EXPECT_EQ(endpoint.host, build_settings::telemetry_host);
  EXPECT_EQ(endpoint.account, build_settings::telemetry_account);
  EXPECT_EQ(endpoint.key, build_settings::telemetry_key);
  EXPECT_EQ(endpoint.port, build_settings::telemetry_port);
}

TEST(TelemetrySend, NoHostSendsNothingAndLogsNothing) {
  LogCapture log;
  TelemetryEndpoint endpoint;
  endpoint.account = "launchertest";
  endpoint.key = kAccountKey;
  EXPECT_FALSE(send_telemetry(endpoint, L"p", "1", "begin", "0", 4));
  EXPECT_TRUE(log.lines().empty());
}
