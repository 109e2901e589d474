#include "platform/http.h"

#include <windows.h>
// After windows.h, which they build on.
#include <wincrypt.h>
#include <wininet.h>

#include <algorithm>
#include <future>
#include <limits>
#include <memory>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/text.h"
#include "system_library.h"

namespace platform {
namespace {

constexpr DWORD_PTR kContext = 1;
constexpr wchar_t kUserAgent[] = L"setuplauncher";
// The request line keeps the protocol text the launcher has always sent.
constexpr wchar_t kProtocolVersion[] = L"HTTP/1.0";

// Always HTTPS. No answer comes from a cache or goes into one, and any cache
// on the way is asked for a fresh answer too. Certificate errors are never
// ignored: what is downloaded here is run. A redirect comes back as the
// answer it is: the launcher talks only to the hosts it was built for. The
// request line says HTTP/1.0, so the connection is kept open only when the
// request asks for it: without that a server closes it after every answer,
// and a client that does not notice sends the next attempt into the closed
// connection.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_CACHE_ASYNC |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;
// Header values longer than this are not looked at.
constexpr DWORD kHeaderValueLimit = 65536;

// The proxy credentials dialog: stored credentials silently the first time,
// then with the dialog.
constexpr DWORD kProxyDialogSilent =
    FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA | FLAGS_ERROR_UI_FLAGS_NO_UI;
constexpr DWORD kProxyDialogShown = FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

// WinINet and CryptoAPI are not on the known-DLL list: each function comes
// from the system folder at run time, so that a planted DLL beside the
// launcher is never loaded in their place.
#define SYSTEM_FUNCTION(library, function) \
  decltype(&::function) function = win32::system_function<decltype(&::function)>(library, #function)

struct Api {
  SYSTEM_FUNCTION(L"wininet.dll", InternetOpenW);
  SYSTEM_FUNCTION(L"wininet.dll", InternetConnectW);
  SYSTEM_FUNCTION(L"wininet.dll", HttpOpenRequestW);
  SYSTEM_FUNCTION(L"wininet.dll", InternetCloseHandle);
  SYSTEM_FUNCTION(L"wininet.dll", HttpAddRequestHeadersW);
  SYSTEM_FUNCTION(L"wininet.dll", InternetSetOptionW);
  SYSTEM_FUNCTION(L"wininet.dll", InternetQueryOptionW);
  SYSTEM_FUNCTION(L"wininet.dll", HttpSendRequestW);
  SYSTEM_FUNCTION(L"wininet.dll", HttpSendRequestExW);
  SYSTEM_FUNCTION(L"wininet.dll", InternetWriteFile);
  SYSTEM_FUNCTION(L"wininet.dll", HttpEndRequestW);
  SYSTEM_FUNCTION(L"wininet.dll", HttpQueryInfoW);
  SYSTEM_FUNCTION(L"wininet.dll", InternetReadFile);
  SYSTEM_FUNCTION(L"wininet.dll", InternetErrorDlg);
  SYSTEM_FUNCTION(L"crypt32.dll", CryptStringToBinaryA);
  SYSTEM_FUNCTION(L"crypt32.dll", CertCreateCertificateContext);
  SYSTEM_FUNCTION(L"crypt32.dll", CertFreeCertificateContext);
  SYSTEM_FUNCTION(L"crypt32.dll", CertFreeCertificateChain);
  SYSTEM_FUNCTION(L"crypt32.dll", CertCompareCertificateName);
  SYSTEM_FUNCTION(L"crypt32.dll", CryptVerifyCertificateSignatureEx);

  bool has_wininet() const {
    return InternetOpenW && InternetConnectW && HttpOpenRequestW && InternetCloseHandle && HttpAddRequestHeadersW &&
           InternetSetOptionW && InternetQueryOptionW && HttpSendRequestW && HttpSendRequestExW && InternetWriteFile &&
           HttpEndRequestW && HttpQueryInfoW && InternetReadFile && InternetErrorDlg;
  }
  bool has_crypt32() const {
    return CryptStringToBinaryA && CertCreateCertificateContext && CertFreeCertificateContext &&
           CertFreeCertificateChain && CertCompareCertificateName &&
           CryptVerifyCertificateSignatureEx;
  }
};

#undef SYSTEM_FUNCTION

const Api& api() {
  static const Api instance;
  return instance;
}

class Handle {
 public:
  explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_) api().InternetCloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

struct CertificateDeleter {
  void operator()(PCCERT_CONTEXT certificate) const { api().CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateDeleter>;

// The certificates of a PEM file; empty when it cannot be read.
std::vector<Certificate> read_pem_certificates(const std::string& path) {
  platform::File in(wide_from_utf8(path), platform::File::Mode::read);
  std::string text;
  char buffer[16384];
  while (in.is_open()) {
    const std::size_t got = in.read(buffer, sizeof buffer);
    if (got == 0) break;
    text.append(buffer, got);
  }
  static const std::string begin = "-----BEGIN CERTIFICATE-----";
  static const std::string end = "-----END CERTIFICATE-----";
  std::vector<Certificate> certificates;
  for (std::size_t start = text.find(begin); start != std::string::npos; start = text.find(begin, start + 1)) {
    const std::size_t stop = text.find(end, start);
    if (stop == std::string::npos) break;
    const std::string pem = text.substr(start, stop + end.size() - start);
    DWORD size = 0;
    if (!api().CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                    &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (!api().CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                    &size, nullptr, nullptr)) {
      continue;
    }
    PCCERT_CONTEXT certificate = api().CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (certificate) certificates.emplace_back(certificate);
  }
  return certificates;
}

enum class ChainCheck { trusted, refused, unavailable };

// The same certificate, byte for byte. CertCompareCertificate compares only
// issuer and serial number, which a forged certificate can copy.
bool same_certificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded &&
         std::equal(a->pbCertEncoded, a->pbCertEncoded + a->cbCertEncoded, b->pbCertEncoded);
}

// Whether the server's chain, otherwise sound, leads to a CA of the build's
// extra CA file (demo and test builds). The system does not know that CA, so
// it reports an unknown authority; everything else it checks still holds.
// Some WinINet builds show the chain only on an open connection: unavailable.
ChainCheck check_chain_against_extra_ca(HINTERNET request, const std::string& path) {
  if (path.empty() || !api().has_crypt32()) return ChainCheck::refused;
  const auto authorities = read_pem_certificates(path);
  if (authorities.empty()) return ChainCheck::refused;

  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD size = sizeof(chain);
  if (!api().InternetQueryOptionW(request, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) || !chain) {
    return ChainCheck::unavailable;
  }
  bool trusted = false;
  if (chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const DWORD tolerated = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                            CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    const bool otherwise_sound = (simple->TrustStatus.dwErrorStatus & ~tolerated) == 0;
    PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    for (const auto& authority : authorities) {
      if (!otherwise_sound) break;
      if (same_certificate(top, authority.get())) {
        trusted = true;
        break;
      }
      // The server did not send the CA itself: the top of its chain must be
      // issued and signed by it.
      if (api().CertCompareCertificateName(X509_ASN_ENCODING, &top->pCertInfo->Issuer,
                                           &authority->pCertInfo->Subject) &&
          api().CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                                  const_cast<CERT_CONTEXT*>(top), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                                  const_cast<CERT_CONTEXT*>(authority.get()), 0, nullptr)) {
        trusted = true;
        break;
      }
    }
  }
  api().CertFreeCertificateChain(chain);
  return trusted ? ChainCheck::trusted : ChainCheck::refused;
}

bool add_security_flag(HINTERNET request, DWORD flag) {
  DWORD flags = 0;
  DWORD size = sizeof(flags);
  if (!api().InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) return false;
  flags |= flag;
  return api().InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)) != FALSE;
}

class WininetExchange final : public HttpExchange, public HttpBody {
 public:
  WininetExchange(std::unique_ptr<Handle> session, std::unique_ptr<Handle> connection, const HttpTarget& target)
      : session_(std::move(session)), connection_(std::move(connection)), target_(target) {}

  // A request handle of its own on the connection; false when there is none.
  bool open_request() {
    const std::wstring path = wide_from_utf8(target_.path);
    request_ = std::make_unique<Handle>(api().HttpOpenRequestW(connection_->get(),
                                                               target_.verb == HttpVerb::get ? L"GET" : L"POST",
                                                               path.c_str(), kProtocolVersion, nullptr, nullptr,
                                                               kRequestFlags, kContext));
    // What was already set aside for this server holds for every attempt.
    return *request_ && (added_security_flags_ == 0 || add_security_flag(request_->get(), added_security_flags_));
  }

  ~WininetExchange() override {
    // A started attempt still uses the handles.
    if (started_.valid()) started_.wait();
    // Request first, session last.
    request_.reset();
    connection_.reset();
    session_.reset();
  }

  // WinINet's send returns only with the answer's headers, so an early
  // attempt runs on a thread of its own; the caller reads the body later on
  // its thread. Nothing of this exchange is touched in between.
  //
  // An answer that was not read to its end stays on its request handle, and
  // WinINet would read the rest of it before sending on that handle again,
  // however long it is: a new handle takes over (closing the old one drops
  // that connection). Only the proxy's credentials step keeps the handle
  // it set them on.
  void start(const std::vector<std::string>& header_lines, const std::string& body) override {
    const bool fresh = status_ == 0 || status_ == HTTP_STATUS_PROXY_AUTH_REQ || open_request();
    started_ = std::async(std::launch::async, [this, fresh, header_lines, body] {
      return fresh ? send_and_wait(header_lines, body) : HttpFailure::stop;
    });
  }

  HttpFailure wait() override { return started_.valid() ? started_.get() : HttpFailure::stop; }

  int status() const override { return status_; }

  std::string header(const std::string& name) override {
    // The name goes in through the buffer that brings the value back.
    const std::wstring wide_name = wide_from_utf8(name);
    std::wstring buffer = wide_name;
    buffer.resize(std::max<std::size_t>(wide_name.size() + 1, 256), L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    DWORD index = 0;
    if (!api().HttpQueryInfoW(request_->get(), HTTP_QUERY_CUSTOM, &buffer[0], &size, &index)) {
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size > kHeaderValueLimit) return {};
      buffer = wide_name;
      buffer.resize(std::max<std::size_t>(wide_name.size(), size / sizeof(wchar_t)) + 1, L'\0');
      size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
      index = 0;
      if (!api().HttpQueryInfoW(request_->get(), HTTP_QUERY_CUSTOM, &buffer[0], &size, &index)) return {};
    }
    return ascii_trim(utf8_from_wide(buffer.substr(0, size / sizeof(wchar_t))));
  }

  HttpBody& body() override { return *this; }

  // The system's own receive buffers keep a transfer started early going;
  // WinINet hands the body out only when it is read.
  bool receive_into(std::string*, std::size_t) override { return false; }
  bool receive_some() override { return false; }

  bool ask_proxy_credentials(unsigned attempt) override {
    const DWORD first = api().InternetErrorDlg(GetDesktopWindow(), request_->get(), ERROR_INTERNET_INCORRECT_PASSWORD,
                                               attempt == 1 ? kProxyDialogSilent : kProxyDialogShown, nullptr);
    if (first == ERROR_INTERNET_FORCE_RETRY) return true;
    if (attempt != 1) return false;
    // No stored credentials: ask the user once.
    return api().InternetErrorDlg(GetDesktopWindow(), request_->get(), ERROR_INTERNET_INCORRECT_PASSWORD,
                                  kProxyDialogShown, nullptr) == ERROR_INTERNET_FORCE_RETRY;
  }

  std::size_t read(char* buffer, std::size_t size) override {
    if (failed_) return 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
    DWORD got = 0;
    if (!api().InternetReadFile(request_->get(), buffer, wanted, &got)) {
      failed_ = true;
      return 0;
    }
    received_ += got;
    // WinINet may report the end of a body that the server broke off; the
    // announced length tells (when the bytes are not decoded on the way).
    if (got == 0 && announced_ >= 0 && received_ != static_cast<unsigned long long>(announced_)) failed_ = true;
    return got;
  }

  bool failed() const override { return failed_; }

 private:
  HttpFailure send_and_wait(const std::vector<std::string>& header_lines, const std::string& body) {
    status_ = 0;
    HINTERNET request = request_->get();
    for (const auto& line : header_lines) {
      const std::wstring wide = wide_from_utf8(line + "\r\n");
      api().HttpAddRequestHeadersW(request, wide.c_str(), static_cast<DWORD>(wide.size()), HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    }
    BOOL decoding = target_.decode ? TRUE : FALSE;
    api().InternetSetOptionW(request, INTERNET_OPTION_HTTP_DECODING, &decoding, sizeof(decoding));

    bool untrusted = false;
    const bool sent = (!body.empty() && target_.verb != HttpVerb::get)
                          ? send_with_body(body, untrusted)
                          : api().HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    if (untrusted || (sent && !server_trusted())) return HttpFailure::stop;
    if (!sent) return classify(GetLastError());
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!api().HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
      return classify(GetLastError());
    }
    status_ = static_cast<int>(status);
    start_body();
    return HttpFailure::none;
  }

  // While the system's trust is set aside for the build's own CA, the chain
  // is checked on the open connection, before anything is read from it.
  bool server_trusted() {
    return !extra_ca_pending_ || check_chain_against_extra_ca(request_->get(), target_.ca_file) == ChainCheck::trusted;
  }

  bool send_with_body(const std::string& body, bool& untrusted) {
    HINTERNET request = request_->get();
    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = static_cast<DWORD>(body.size());
    if (!api().HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, kContext)) return false;
    // The body may carry what only the real server should see.
    untrusted = !server_trusted();
    if (untrusted) return false;
    std::size_t offset = 0;
    while (offset < body.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(body.size() - offset, 1u << 30));
      if (!api().InternetWriteFile(request, body.data() + offset, chunk, &written) || written == 0) return false;
      offset += written;
    }
    return api().HttpEndRequestW(request, nullptr, 0, kContext) != FALSE;
  }

  void start_body() {
    failed_ = false;
    received_ = 0;
    announced_ = -1;
    // Decoded bytes cannot be held against the announced length.
    if (target_.decode && !header("Content-Encoding").empty()) return;
    // As text: not every WinINet answers the 64-bit number form.
    const std::string length = header("Content-Length");
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos || length.size() > 18) return;
    announced_ = std::stoll(length);
  }

  HttpFailure classify(DWORD error) {
    HINTERNET request = request_->get();
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (api().HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
      status_ = static_cast<int>(status);
    }
    if (error == ERROR_INTERNET_FORCE_RETRY) return HttpFailure::retry;
    if (status == HTTP_STATUS_PROXY_AUTH_REQ) return HttpFailure::proxy_auth;
    switch (error) {
      case ERROR_INTERNET_INVALID_CA:
        // Only the build's own CA may stand in for the system's trust. Where
        // the chain cannot be seen yet, it is checked on the open connection
        // before anything is read from it (see server_trusted).
        if (!extra_ca_pending_ && check_chain_against_extra_ca(request, target_.ca_file) != ChainCheck::refused &&
            set_aside(SECURITY_FLAG_IGNORE_UNKNOWN_CA)) {
          extra_ca_pending_ = true;
          return HttpFailure::retry;
        }
        return HttpFailure::stop;
      case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        // The revocation server could not be reached; the certificate itself was sound.
        return set_aside(SECURITY_FLAG_IGNORE_REVOCATION) ? HttpFailure::retry : HttpFailure::stop;
      case ERROR_INTERNET_NAME_NOT_RESOLVED:
      case ERROR_INTERNET_CANNOT_CONNECT:
      case ERROR_INTERNET_CONNECTION_ABORTED:
      case ERROR_INTERNET_CONNECTION_RESET:
      case ERROR_INTERNET_TIMEOUT:
        return HttpFailure::connection;
      default:
        return HttpFailure::stop;
    }
  }

  bool set_aside(DWORD flag) {
    if (!add_security_flag(request_->get(), flag)) return false;
    added_security_flags_ |= flag;
    return true;
  }

  std::unique_ptr<Handle> session_;
  std::unique_ptr<Handle> connection_;
  std::unique_ptr<Handle> request_;
  HttpTarget target_;
  DWORD added_security_flags_ = 0;
  int status_ = 0;
  bool failed_ = false;
  bool extra_ca_pending_ = false;
  unsigned long long received_ = 0;
  long long announced_ = -1;
  std::future<HttpFailure> started_;
};

}  // namespace

std::unique_ptr<HttpExchange> open_http_exchange(const HttpTarget& target) {
  if (!api().has_wininet()) return nullptr;
  auto session =
      std::make_unique<Handle>(api().InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!*session) return nullptr;
  auto connection = std::make_unique<Handle>(api().InternetConnectW(session->get(), target.server.c_str(),
                                                                    static_cast<INTERNET_PORT>(target.port), nullptr,
                                                                    nullptr, INTERNET_SERVICE_HTTP, 0, kContext));
  if (!*connection) return nullptr;
  auto exchange = std::make_unique<WininetExchange>(std::move(session), std::move(connection), target);
  if (!exchange->open_request()) return nullptr;
  return exchange;
}

}  // namespace platform
