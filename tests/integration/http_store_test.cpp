// Ranged reads from the real blob store, as the block download makes them.
#include <gtest/gtest.h>

#include "common/fault_server.h"
#include "common/local_store.h"
#include "net/http.h"
#include "platform/http.h"
#include "platform/text.h"

namespace {

TEST(HttpStore, RangedReadsReturnExactlyTheRequestedBytes) {
  const std::string container = local_store::unique_name("ranges");
  ASSERT_TRUE(local_store::create_container(container));
  const std::size_t block = 1048576;
  const std::string content = test_pattern(5 * block + 3);
  ASSERT_TRUE(local_store::put_blob(container, "release.zip", content));
  const std::wstring path = wide_from_utf8(container + "/release.zip");

  struct Case {
    std::int64_t first, last;
  };
  const Case cases[] = {{0, block - 1}, {block, 2 * block - 1}, {5 * block, 5 * block + 2}, {4096, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string got;
    ASSERT_TRUE(download_to_string(local_store::blob_service(), path, &got, c.first, c.last));
    EXPECT_TRUE(got == content.substr(c.first, c.last - c.first + 1)) << "got " << got.size() << " bytes";
  }

  // The store answers a range as a part, not as the whole.
  const HttpService store = local_store::blob_service();
  platform::HttpTarget target;
  target.server = store.host;
  target.port = store.port;
  target.path = "/" + container + "/release.zip";
  target.ca_file = store.ca_file;
  auto exchange = platform::open_http_exchange(target);
  ASSERT_TRUE(exchange);
  ASSERT_EQ(exchange->send({"Range: bytes=10-19", "Accept-Encoding: gzip, deflate"}, ""),
            platform::HttpFailure::none);
  EXPECT_EQ(exchange->status(), 206);
}

}  // namespace
