// Packing a setup folder into a release archive: every distinct content once,
// named by its SHA-256 digest, with "arcinfo.json" listing where each content
// goes and "arcconfig.json" naming the setup program to start.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "formats/archive_manifest.h"
#include "zip_writer.h"

namespace publisher {

// "LANG:BITNESS:COMMAND[:ARGUMENTS]".
StartCommand parse_start_command(const std::string& text);
// A JSON document (an object with "startCommands" or a bare array) or lines
// in the form of parse_start_command, with blank lines and '#' comments.
std::vector<StartCommand> parse_start_file(const std::string& text);

// One file of the setup folder.
struct SourceFile {
  std::string dst;  // relative, '\' separated
  std::filesystem::path path;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;
};

// The files below `root` in byte order of their destinations. Links to files
// inside the folder count as those files; anything else that is not a plain
// file or folder is refused, as are names Windows cannot hold.
std::vector<SourceFile> scan_setup_folder(const std::filesystem::path& root);

// Throws PublishError when "arcinfo.json" would hold more than a launcher
// takes: more destinations than kMaxArcInfoDestinations (each content has at
// least one, so the contents stay within kMaxArcInfoEntries too), or a text
// longer than kMaxManifestSize.
void check_arcinfo_limits(std::size_t destinations, std::uint64_t text_size);

using Progress = std::function<void(const std::string&)>;

struct PackOptions {
  std::filesystem::path setup_folder;
  std::filesystem::path output;
  std::vector<StartCommand> start_commands;
  ZipLimits limits;
  Progress progress;
};

struct PackResult {
  std::size_t files = 0;
  std::size_t contents = 0;
  std::uint64_t input_bytes = 0;
  std::uint64_t archive_bytes = 0;
  // SHA-256 of the two manifests as written, for the release index.
  std::string arcinfo_sha256;
  std::string arcconfig_sha256;
};

// Writes the archive to a temporary name beside `output` and renames it when
// complete, so a failed run never leaves a half archive under the real name.
// The manifests come first, then the contents in the byte order of their
// first destinations: a release that changes a few files keeps the other
// contents next to the same neighbours, so a launcher that fetches only the
// changed ones finds them in few, close ranges.
PackResult pack(const PackOptions& options);

}  // namespace publisher
