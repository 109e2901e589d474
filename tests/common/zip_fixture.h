// Zip archives for tests: written here for the cases that need a forged or
// exact layout, or by the usual packing tools (Info-ZIP zip, Python's
// zipfile, bsdtar) where they are installed, for what real packers write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct FixtureMember {
  FixtureMember(std::string member_name, std::string member_content, bool deflated = true)
      : name(std::move(member_name)), content(std::move(member_content)), deflate(deflated) {}
  // Forgeries and extras, chained: FixtureMember("a", "x").mode(0755).
  FixtureMember& mode(std::uint32_t value) { return unix_mode = value, *this; }
  FixtureMember& size(std::uint64_t value) { return declared_size = value, *this; }
  FixtureMember& crc(std::uint32_t value) { return declared_crc = value, *this; }
  FixtureMember& flag(std::uint16_t value) { return flags = value, *this; }
  FixtureMember& method(std::uint16_t value) { return method_override = value, *this; }

  std::string name;
  std::string content;
  bool deflate = true;
  std::optional<std::uint32_t> unix_mode;      // recorded with "made by Unix"
  std::optional<std::uint64_t> declared_size;  // forges the uncompressed size
  std::optional<std::uint32_t> declared_crc;   // forges the CRC-32
  std::uint16_t flags = 0;
  std::uint16_t method_override = 0xFFFF;      // forges the method field
};

struct FixtureOptions {
  bool zip64 = false;  // saturated directory fields, ZIP64 extras and end records
  std::string comment;
  // Where the bytes will lie in their file: offsets are written as if this
  // many bytes came before the archive (a sparse file makes it cheap).
  std::uint64_t base_offset = 0;
};

std::string make_zip(const std::vector<FixtureMember>& members, const FixtureOptions& options = {});

// Incompressible content: the same bytes for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);

// The lower-case SHA-256 of a text, as the archives name their members.
std::string sha256_of(const std::string& content);

// Runs a shell command line; false when it fails or no shell is there.
bool run_command(const std::string& command);
// Whether the tool answers (e.g. "python3 --version"); never on Windows.
bool tool_available(const std::string& probe);
