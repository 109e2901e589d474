// Unpacks a release archive into a setup folder the way the launcher does
// after a download, and prints the wall time in seconds.
//   extract_bench ARCHIVE SETUP_FOLDER
#include <chrono>
#include <cstdio>
#include <string>

#include "netrelease/netrelease_functions.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_bench ARCHIVE SETUP_FOLDER\n");
    return 2;
  }
  const std::string archive = argv[1];
  const auto slash = archive.find_last_of('/');
  ReleaseInfo release;
  release.destination = wide_from_utf8(slash == std::string::npos ? "./" : archive.substr(0, slash + 1));
  release.filename = slash == std::string::npos ? archive : archive.substr(slash + 1);

  const auto start = std::chrono::steady_clock::now();
  const bool ok = extract_archive(as_folder_path(wide_from_utf8(argv[2])), release);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%s %.2f\n", ok ? "ok" : "FAILED", elapsed.count());
  return ok ? 0 : 1;
}
