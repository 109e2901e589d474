#include "formats/index_signature.h"

#include "platform/crypto.h"
#include "support/signature.h"
#include "support/text.h"

std::vector<std::string> parse_index_signature(const std::string& text) {
  std::vector<std::string> signatures;
  for (std::string line : split_pieces(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto signature = base64_decode_strict(line);
    if (signature && !signature->empty()) signatures.push_back(*signature);
  }
  return signatures;
}

std::string index_signature_text(const std::vector<std::string>& der_signatures) {
  std::string text;
  for (const std::string& signature : der_signatures) text += platform::base64_encode(signature) + "\n";
  return text;
}

bool index_signature_verifies(const std::string& index_bytes, const std::string& signature_text,
                              const std::vector<std::string>& public_keys) {
  for (const std::string& signature : parse_index_signature(signature_text))
    for (const std::string& key : public_keys)
      if (ecdsa_p256_sha256_verify(key, index_bytes, signature)) return true;
  return false;
}
