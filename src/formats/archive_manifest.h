// The two manifests inside a release archive. Every other member is named
// by the SHA-256 digest of its content; "arcinfo.json" says where each
// content goes, "arcconfig.json" which setup program to start. The publisher
// writes them and the launcher reads them, both through these definitions.
#pragma once

#include <string>
#include <vector>

inline constexpr char kArcInfoMember[] = "arcinfo.json";
inline constexpr char kArcConfigMember[] = "arcconfig.json";

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
// extraction accepts).
std::vector<ArcInfoEntry> parse_arcinfo(const std::string& text);
std::string arcinfo_text(const std::vector<ArcInfoEntry>& entries);

// The "startCommands" of an "arcconfig.json" text; fields that are missing
// or not texts read as empty.
std::vector<StartCommand> parse_arcconfig(const std::string& text);
std::string arcconfig_text(const std::vector<StartCommand>& commands);
