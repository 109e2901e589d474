// Ranged block reads against one HTTPS server, as the block download makes
// them: with the kept-alive connection, or with the connection closed after
// every answer so that each read pays the TCP and TLS handshakes again.
//
// Usage: http_reuse_bench HOST PORT PATH FILE_SIZE BLOCK_SIZE COUNT reuse|fresh [CA_FILE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/http.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr, "usage: %s HOST PORT PATH FILE_SIZE BLOCK_SIZE COUNT reuse|fresh [CA_FILE]\n", argv[0]);
    return 2;
  }
  HttpService server;
  server.host = wide_from_utf8(argv[1]);
  server.port = std::atoi(argv[2]);
  const std::wstring path = wide_from_utf8(argv[3]);
  const std::int64_t file_size = std::atoll(argv[4]);
  const std::int64_t block = std::atoll(argv[5]);
  const int count = std::atoi(argv[6]);
  const bool fresh = std::string(argv[7]) == "fresh";
  if (argc > 8) server.ca_file = argv[8];
  const std::int64_t blocks_in_file = file_size / block;
  if (blocks_in_file <= 0 || count <= 0) return 2;

  std::string block_bytes;
  std::int64_t total = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    const std::int64_t first = (i % blocks_in_file) * block;
    block_bytes.clear();
    HttpRequest request;
    request.service = server;
    request.object_path = path;
    request.body_handler = append_to_string(&block_bytes);
    request.range_first = first;
    request.range_last = first + block - 1;
    if (fresh) request.extra_headers.push_back(L"Connection: close");
    if (!send_request(request) || static_cast<std::int64_t>(block_bytes.size()) != block) {
      std::fprintf(stderr, "read %d failed\n", i);
      return 1;
    }
    total += static_cast<std::int64_t>(block_bytes.size());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %d reads of %lld bytes in %.2f s, %.1f ms per read, %.0f MiB/s\n", fresh ? "fresh" : "reuse",
              count, static_cast<long long>(block), seconds, seconds * 1000.0 / count,
              static_cast<double>(total) / 1048576.0 / seconds);
  return 0;
}
