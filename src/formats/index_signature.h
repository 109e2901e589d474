// The release index's signature, object "<product>-v2/index.sig" beside the
// index: ASCII lines, each the Base64 (standard alphabet, padded) of a
// DER-encoded ECDSA P-256 signature over SHA-256 of the exact bytes of the
// index object as served. The index is genuine when any line verifies with
// any key the launcher was built with: during a change of keys the index
// carries a line for the old key and one for the new.
#pragma once

#include <string>
#include <vector>

inline constexpr char kIndexSignatureName[] = "index.sig";

// The signatures of the lines that are Base64 (a line may end in CR LF);
// other lines are skipped.
std::vector<std::string> parse_index_signature(const std::string& text);
// One line per signature, each ending in a line feed.
std::string index_signature_text(const std::vector<std::string>& der_signatures);

// Whether any signature of signature_text verifies index_bytes with any of
// the PEM public keys.
bool index_signature_verifies(const std::string& index_bytes, const std::string& signature_text,
                              const std::vector<std::string>& public_keys);
