// Adds the CA certificates of a PEM file to the current user's root store.
// The Wine test runner calls it in its own prefix, so that the local store's
// test CA is trusted there and nowhere else, by the same checks the launcher
// meets on a user's machine.
// Usage: trust_test_ca.exe FILE.pem
#include <windows.h>
// After windows.h, which it builds on.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust_test_ca FILE.pem\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
  if (!store) {
    std::fprintf(stderr, "the root store cannot be opened (%lu)\n", GetLastError());
    return 1;
  }
  static const std::string begin = "-----BEGIN CERTIFICATE-----";
  static const std::string end = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t start = text.find(begin); start != std::string::npos; start = text.find(begin, start + 1)) {
    const std::size_t stop = text.find(end, start);
    if (stop == std::string::npos) break;
    const std::string pem = text.substr(start, stop + end.size() - start);
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                             nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_REPLACE_EXISTING,
                                         nullptr)) {
      ++added;
    }
  }
  CertCloseStore(store, 0);
  if (added == 0) {
    std::fprintf(stderr, "no certificate added from the file\n");
    return 1;
  }
  std::printf("%d certificate(s) added to the current user's root store\n", added);
  return 0;
}
