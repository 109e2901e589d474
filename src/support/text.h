// Small text helpers shared by the launcher, its platform layers and the
// publisher. Protocol texts (header names, member names, hex digests) are
// ASCII: letter case is folded for A-Z only, whatever the process locale.
#pragma once

#include <optional>
#include <string>
#include <vector>

std::string ascii_lower(std::string text);
// Blanks (space, tab, CR, LF) removed at both ends.
std::string ascii_trim(const std::string& text);
// Texts from the release index, server replies and file names reach the
// terminal: control characters could move the cursor or recolour it, and a
// line break in a list entry would break the list. Each becomes '?' (line
// breaks and tabs only when they are not kept).
std::string printable(std::string text, bool keep_line_breaks = false);
// The pieces between the delimiters, as reading up to each delimiter in turn
// gives them: no piece for an empty text, nor after a final delimiter.
std::vector<std::string> split_pieces(const std::string& text, char delimiter);
// The number with exactly `decimals` digits after the point ("12.500000").
std::string fixed_decimal(double value, int decimals);
// Strict UTF-8: no overlong forms, surrogates or values beyond U+10FFFF.
bool is_valid_utf8(const std::string& text);

// Standard Base64 (RFC 4648 alphabet, padded to a multiple of four, unused
// bits zero) and nothing else: no line breaks, blanks or other characters,
// so that every platform reads the same texts. Null for any other text.
std::optional<std::string> base64_decode_strict(const std::string& text);
