// The download stage on its own, as the launcher runs it: release index,
// blockhash list, blocks, whole-file digest. The current release is chosen,
// with DEST as the destination. With SETUP_FOLDER, the archive is unpacked
// while it downloads, as the launcher does, into SETUP_FOLDER (which must
// not exist), and the time until it is complete is printed as well.
//
// Usage: download_stage_bench HOST PORT PRODUCT DEST [CA_FILE [SETUP_FOLDER]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "archive/stream_unpack.h"
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

  const std::wstring setup_folder = argc > 6 ? wide_from_utf8(argv[6]) : std::wstring();

  ReleaseInfo release;
  const auto start = std::chrono::steady_clock::now();
  const auto seconds_since_start = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  double download_seconds = 0;
  double offered_seconds = 0;
  double first_block_seconds = 0;
  try {
    DownloadStage stage(store, {}, wide_from_utf8(argv[3]));
    const auto choices = stage.offered();
    offered_seconds = seconds_since_start();
    release = stage.accept(choices.front().key, false, wide_from_utf8(argv[4]), 4);
    std::unique_ptr<StreamingUnpack> unpacking;
    std::function<void(std::uint64_t)> written;
    if (!setup_folder.empty()) {
      std::wstring staging = setup_folder;
      while (!staging.empty() && (staging.back() == L'/' || staging.back() == L'\\')) staging.pop_back();
      auto content_store = ContentStore::open(staging + L".staging");
      if (!content_store) throw std::runtime_error("cannot open the staging folder");
      unpacking = std::make_unique<StreamingUnpack>(archive_path(release), std::move(content_store));
      written = [&unpacking](std::uint64_t end) { unpacking->available(end); };
    }
    written = [&, unpack = written](std::uint64_t end) {
      if (first_block_seconds == 0) first_block_seconds = seconds_since_start();
      if (unpack) unpack(end);
    };
    stage.download(release, no_progress(), written);
    download_seconds = seconds_since_start();
    if (unpacking) {
      ExtractedFiles extracted;
      if (!unpack_release(unpacking.get(), release.filesize, archive_path(release), setup_folder, no_progress(),
                          extracted)) {
        throw std::runtime_error("the archive could not be unpacked");
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
  std::printf("download stage: %.3f s, %.1f MiB/s\n", download_seconds,
              static_cast<double>(release.filesize) / 1048576.0 / download_seconds);
  if (!setup_folder.empty()) std::printf("unpacked: %.3f s\n", seconds_since_start());
  std::printf("index read: %.3f s, first block verified: %.3f s\n", offered_seconds, first_block_seconds);
  return 0;
}
