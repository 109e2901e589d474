// Texts that the program keeps Base64-encoded rather than in plain sight,
// encoded by the compiler so that only the encoded form enters the image.
#pragma once

#include <cstddef>

constexpr std::size_t constexpr_text_length(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

constexpr std::size_t base64_length(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

template <std::size_t N>
struct StoredText {
  char text[N + 1];  // zero-terminated
};

// Standard Base64 with padding of the first N bytes.
template <std::size_t N>
constexpr StoredText<base64_length(N)> base64_at_build(const char* bytes) {
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  StoredText<base64_length(N)> out{};
  std::size_t o = 0;
  for (std::size_t i = 0; i < N; i += 3) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    const unsigned b1 = i + 1 < N ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
    const unsigned b2 = i + 2 < N ? static_cast<unsigned char>(bytes[i + 2]) : 0u;
    const unsigned group = (b0 << 16) | (b1 << 8) | b2;
    out.text[o++] = kAlphabet[(group >> 18) & 63];
    out.text[o++] = kAlphabet[(group >> 12) & 63];
    out.text[o++] = i + 1 < N ? kAlphabet[(group >> 6) & 63] : '=';
    out.text[o++] = i + 2 < N ? kAlphabet[group & 63] : '=';
  }
  out.text[o] = '\0';
  return out;
}
