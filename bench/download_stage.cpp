// The download stage on its own, as the launcher runs it: release index,
// blockhash list, blocks, whole-file digest. The current release is chosen,
// with DEST as the destination.
//
// Usage: download_stage_bench HOST PORT PRODUCT DEST [CA_FILE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "release/download_stage.h"
#include "support/exceptions.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s HOST PORT PRODUCT DEST [CA_FILE]\n", argv[0]);
    return 2;
  }
  HttpService store;
  store.host = wide_from_utf8(argv[1]);
  store.port = std::atoi(argv[2]);
  if (argc > 5) store.ca_file = argv[5];

  ReleaseInfo release;
  const auto start = std::chrono::steady_clock::now();
  try {
    DownloadStage stage(store, {}, wide_from_utf8(argv[3]));
    const auto choices = stage.offered();
    release = stage.accept(choices.front().key, false, wide_from_utf8(argv[4]), 4);
    stage.download(release, no_progress());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("download stage: %.3f s, %.1f MiB/s\n", seconds,
              static_cast<double>(release.filesize) / 1048576.0 / seconds);
  return 0;
}
