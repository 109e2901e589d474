// ECDSA P-256 signatures over SHA-256 (the release index's signature). The
// encodings of keys and signatures are read here, strictly and the same way
// on every platform, and only the bare numbers reach the platform's
// cryptography: so OpenSSL, which would read more encodings and key types,
// and CNG, which reads fewer, accept exactly the same keys and signatures.
#pragma once

#include <string>
#include <vector>

// Each "-----BEGIN PUBLIC KEY-----" ... "-----END PUBLIC KEY-----" block of a
// key file, markers included, in file order. Text between blocks and a block
// without its end marker are skipped.
std::vector<std::string> split_pem_public_keys(const std::string& text);

// The 64-byte X || Y of the key in public_key_pem: exactly one PEM block
// (text around it is ignored) holding the DER SubjectPublicKeyInfo of a
// named-curve P-256 key with an uncompressed point, as `openssl ec -pubout`
// writes it. Empty for anything else: other curves and key types, other
// encodings of the same key, PEM headers, several blocks.
std::string p256_public_point(const std::string& public_key_pem);

// The 64-byte r || s of a strict DER ECDSA-Sig-Value whose integers fit
// P-256; empty for anything else, including zero integers.
std::string ecdsa_p256_signature_to_raw(const std::string& der);

// Whether der_signature is an ECDSA signature by the key in public_key_pem
// over SHA-256 of the message's bytes, both encoded as the functions above
// require.
bool ecdsa_p256_sha256_verify(const std::string& public_key_pem, const std::string& message,
                              const std::string& der_signature);
