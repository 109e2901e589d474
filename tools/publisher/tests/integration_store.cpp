// Both stores refuse to replace an index that changed after it was read, so
// two publishers running at once cannot drop each other's release, and an
// archive that exists.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "build_settings.h"
#include "publish_error.h"
#include "store.h"
#include "support.h"
#include "support/hashing.h"

using namespace publisher;
using namespace testing_support;

namespace {

void expect_conditional_writes(Store& store, const std::string& container) {
  store.prepare_container(container);
  store.prepare_container(container);  // a second time is fine
  const std::optional<StoredText> missing = store.read_text(container, "index");
  ASSERT_FALSE(missing.has_value());
  store.write_text(container, "index", "first", "application/json", &missing);
  // Someone else created it meanwhile: a write expecting no object fails.
  EXPECT_THROW(store.write_text(container, "index", "lost", "application/json", &missing), PublishError);

  const std::optional<StoredText> first = store.read_text(container, "index");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->text, "first");
  store.write_text(container, "index", "second", "application/json", &first);
  EXPECT_THROW(store.write_text(container, "index", "stale", "application/json", &first), PublishError);
  EXPECT_EQ(store.read_text(container, "index")->text, "second");

  // Unconditional writes simply replace.
  store.write_text(container, "list", "a", "application/json", nullptr);
  store.write_text(container, "list", "b", "application/json", nullptr);
  EXPECT_EQ(store.read_text(container, "list")->text, "b");

  // An archive is written once, and the store tells its digest.
  Scratch scratch;
  put(scratch / "archive", "the bytes of an archive");
  const std::string digest = hash_buffer("the bytes of an archive", L"SHA256", true);
  EXPECT_FALSE(store.stored_sha256(container, "a.zip").has_value());
  store.write_file(container, "a.zip", scratch / "archive", "application/zip", digest, true, nullptr);
  EXPECT_EQ(store.stored_sha256(container, "a.zip"), digest);
  EXPECT_THROW(store.write_file(container, "a.zip", scratch / "archive", "application/zip", digest, true, nullptr),
               PublishError);
  store.write_file(container, "a.zip", scratch / "archive", "application/zip", digest, false, nullptr);
}

}  // namespace

TEST(Stores, FolderRefusesToReplaceAChangedIndex) {
  Scratch scratch;
  const auto store = make_folder_store(scratch.path());
  expect_conditional_writes(*store, "product-v2");
}

TEST(Stores, BlobStoreRefusesToReplaceAChangedIndex) {
  if (run("bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(build_settings::download_port) + "'").status != 0) {
    GTEST_SKIP() << "the local store is not running (scripts/azurite start)";
  }
  BlobEndpoint endpoint;
  endpoint.url = std::string("https://") + build_settings::download_host + ":" +
                 std::to_string(build_settings::download_port);
  endpoint.account = build_settings::telemetry_account;
  endpoint.key = build_settings::telemetry_key;
  endpoint.ca_file = build_settings::ca_file;
  endpoint.block_size = 8;  // the archive goes up as a block list
  const auto store = make_blob_store(endpoint);
  std::random_device random;
  expect_conditional_writes(*store, "cond" + std::to_string(random() % 100000000) + "-v2");

  // Without the build's CA the store's certificate is not trusted.
  endpoint.ca_file = "/etc/ssl/certs/ca-certificates.crt";
  const auto untrusted = make_blob_store(endpoint);
  try {
    untrusted->read_text("anything", "index");
    FAIL() << "an untrusted certificate was accepted";
  } catch (const PublishError& error) {
    EXPECT_NE(std::string(error.what()).find("certificate"), std::string::npos) << error.what();
  }
}
