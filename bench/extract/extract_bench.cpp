// Unpacks a release archive into a setup folder the way the launcher does
// after a download, and prints the wall time in seconds. The setup folder
// must not exist yet: the extraction makes it.
//   extract_bench ARCHIVE SETUP_FOLDER
#include <chrono>
#include <cstdio>
#include <string>

#include "archive/extraction.h"
#include "platform/text.h"
#include "support/files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_bench ARCHIVE SETUP_FOLDER\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  ExtractedFiles extracted;
  const bool ok =
      extract_archive(wide_from_utf8(argv[1]), as_folder_path(wide_from_utf8(argv[2])), no_progress(), extracted);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%s %.2f\n", ok ? "ok" : "FAILED", elapsed.count());
  return ok ? 0 : 1;
}
