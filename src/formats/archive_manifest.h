// The two manifests inside a release archive. Every other member is named
// by the SHA-256 digest of its content; "arcinfo.json" says where each
// content goes, "arcconfig.json" which setup program to start. The publisher
// writes them and the launcher reads them, both through these definitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr char kArcInfoMember[] = "arcinfo.json";
inline constexpr char kArcConfigMember[] = "arcconfig.json";

// The most a launcher reads, and so the most a publisher writes: the size of
// either manifest (far above any real one, far below what a forged size
// could make the launcher allocate), and the contents of "arcinfo.json" and
// their destinations in all (one content, such as an empty file, may
// legitimately land in hundreds of places).
inline constexpr std::uint64_t kMaxManifestSize = 128ull << 20;
inline constexpr std::size_t kMaxArcInfoEntries = 1'000'000;
inline constexpr std::size_t kMaxArcInfoDestinations = 1'000'000;

// One content of the archive: its member name and expected SHA-256
// (lower-case hex), and its destinations relative to the setup folder, with
// '\' or '/' between names. The first destination is written from the
// archive, the others are copies of it.
struct ArcInfoEntry {
  std::string hash;
  std::vector<std::string> dst;
};

// One element of "startCommands"; all empty stands for "none found".
struct StartCommand {
  std::string language;  // "de", "en" or "*"
  std::string bitness;   // "x64", "x86" or "*"
  std::string command;   // relative to the setup folder
  std::string arguments;
};

// A text that is not a JSON array gives no entries; an element that is not
// an object gives an entry without hash and destinations (which no
// extraction accepts); of a key given twice in an element the later counts.
// Empty (no list at all) when the text lists more entries or destinations
// than the limits allow: it is read as it goes, so such a text never takes
// more memory than the allowed entries.
std::optional<std::vector<ArcInfoEntry>> parse_arcinfo(const std::string& text);
std::string arcinfo_text(const std::vector<ArcInfoEntry>& entries);

// The "startCommands" of an "arcconfig.json" text; fields that are missing
// or not texts read as empty.
std::vector<StartCommand> parse_arcconfig(const std::string& text);
std::string arcconfig_text(const std::vector<StartCommand>& commands);
