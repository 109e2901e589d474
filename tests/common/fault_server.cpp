#include "common/fault_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "common/temp_dir.h"
#include "net/http.h"
#include "platform/crypto.h"
#include "platform/http.h"
#include "platform/system.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

std::string quote(const std::string& text) { return "'" + text + "'"; }

bool tool_available(const std::string& version_command) {
  return std::system((version_command + " >/dev/null 2>&1").c_str()) == 0;
}

// Certificates for every TestCertificate, made once per build folder: made in
// a fresh folder and moved into place, so parallel test processes never see a
// half-made set.
const fs::path& test_pki() {
  static const fs::path folder = [] {
    const fs::path final_folder = fs::path(LAUNCHER_BINARY_DIR) / "faultserver-pki-3";
    if (fs::exists(final_folder / "done")) return final_folder;
    std::random_device random;
    const fs::path work = fs::path(LAUNCHER_BINARY_DIR) / ("faultserver-pki-3." + std::to_string(random()));
    fs::create_directories(work);
    const std::string script = std::string(LAUNCHER_SOURCE_DIR) + "/tests/tools/faultserver-pki";
    if (std::system(("sh " + quote(script) + " " + quote(work.string()) + " >/dev/null 2>&1").c_str()) != 0) {
      return fs::path();
    }
    std::error_code error;
    fs::rename(work, final_folder, error);
    if (error) fs::remove_all(work, error);  // another process was quicker
    return final_folder;
  }();
  return folder;
}

const char* certificate_file(TestCertificate certificate) {
  switch (certificate) {
    case TestCertificate::unknown_ca:
      return "unknown_ca.crt";
    case TestCertificate::wrong_name:
      return "wrong_name.crt";
    case TestCertificate::expired:
      return "expired.crt";
    case TestCertificate::forged_ca:
      return "forged_ca.crt";
    case TestCertificate::trusted:
      break;
  }
  return "trusted.crt";
}

// By name: Wine's WinINet refuses a certificate's IP address entry.
std::wstring control_host() { return L"localhost"; }

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

const char* certificate_variable(TestCertificate certificate) {
  switch (certificate) {
    case TestCertificate::unknown_ca:
      return "LAUNCHER_TEST_FAULT_SERVER_UNKNOWN_CA";
    case TestCertificate::wrong_name:
      return "LAUNCHER_TEST_FAULT_SERVER_WRONG_NAME";
    case TestCertificate::expired:
      return "LAUNCHER_TEST_FAULT_SERVER_EXPIRED";
    case TestCertificate::forged_ca:
      return "LAUNCHER_TEST_FAULT_SERVER_FORGED_CA";
    case TestCertificate::trusted:
      break;
  }
  return "LAUNCHER_TEST_FAULT_SERVER_TRUSTED";
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  auto lower = [](std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string wanted = lower(name) + ":";
  for (const auto& line : header_lines) {
    if (lower(line.substr(0, wanted.size())) == wanted) {
      const auto value = line.find_first_not_of(' ', wanted.size());
      return value == std::string::npos ? std::string() : line.substr(value);
    }
  }
  return {};
}

std::vector<std::string> RecordedRequest::header_names() const {
  std::vector<std::string> names;
  for (const auto& line : header_lines) names.push_back(line.substr(0, line.find(':')));
  return names;
}

FaultServer::FaultServer(TestCertificate certificate, unsigned instance) {
  // Loopback must never go through a proxy from the environment.
  platform::set_environment_variable("NO_PROXY", "127.0.0.1,localhost,.localhost");
  if (!environment(certificate_variable(TestCertificate::trusted)).empty()) {
    use_running_server(certificate, instance);
    return;
  }
  if (!tool_available("python3 --version") || !tool_available("openssl version")) {
    unavailable_ = "python3 and openssl are needed for the fault server";
    return;
  }
  const fs::path& pki = test_pki();
  if (pki.empty()) {
    unavailable_ = "the test certificates could not be made";
    return;
  }
  ca_file_ = (pki / "ca.crt").string();

  std::random_device random;
  const fs::path port_file = fs::temp_directory_path() / ("faultserver-" + std::to_string(random()) + ".ports");
  const std::string command = "python3 " + quote(std::string(LAUNCHER_SOURCE_DIR) + "/tests/tools/faultserver.py") +
                              " --cert " + quote((pki / certificate_file(certificate)).string()) + " --key " +
                              quote((pki / "server.key").string()) + " --control-cert " +
                              quote((pki / certificate_file(TestCertificate::trusted)).string()) + " --port-file " +
                              quote(port_file.string()) +
                              " --lifetime 600 >/dev/null 2>&1 &";
  if (std::system(command.c_str()) != 0) {
    unavailable_ = "the fault server could not be started";
    return;
  }
  for (int waited = 0; waited < 300 && port_ == 0; ++waited) {
    std::ifstream ports(port_file);
    if (!(ports >> port_ >> control_port_)) {
      port_ = 0;
      platform::sleep_ms(50);
    }
  }
  std::error_code ignored;
  fs::remove(port_file, ignored);
  if (port_ == 0) unavailable_ = "the fault server did not report its ports";
}

// A test program that cannot start host tools (a Windows build under Wine)
// gets servers the test runner started, one per certificate:
// LAUNCHER_TEST_FAULT_SERVER_<CERTIFICATE>="<port> <control port>", and a
// second trusted one as LAUNCHER_TEST_FAULT_SERVER_TRUSTED_2; the runner
// makes the system trust their CA. They outlive the fixture, so it starts
// and leaves them empty.
void FaultServer::use_running_server(TestCertificate certificate, unsigned instance) {
  const std::string variable =
      std::string(certificate_variable(certificate)) + (instance > 0 ? "_" + std::to_string(instance + 1) : "");
  std::istringstream ports(environment(variable.c_str()));
  if (!(ports >> port_ >> control_port_)) {
    port_ = control_port_ = 0;
    unavailable_ = "the test runner started no fault server for " + variable;
    return;
  }
  shared_ = true;
  reset();
}

FaultServer::~FaultServer() {
  if (control_port_ != 0) control_post(shared_ ? L"/reset" : L"/shutdown", {}, "");
}

HttpService FaultServer::service() const { return {host(), port_, ca_file_, {}}; }

// Over HTTPS like everything the launcher's transfer layer reaches, always
// with the trusted certificate.
HttpService FaultServer::control() const { return {control_host(), control_port_, ca_file_, {}}; }

// The test runner names it for a program that cannot make the certificates
// itself (LAUNCHER_TEST_UNTRUSTED_CA).
std::string FaultServer::untrusted_ca_file() {
  const std::string from_runner = environment("LAUNCHER_TEST_UNTRUSTED_CA");
  if (!from_runner.empty()) return from_runner;
  return test_pki().empty() ? std::string() : (test_pki() / "other-ca.crt").string();
}

bool FaultServer::control_post(const std::wstring& path, const std::vector<std::wstring>& headers,
                               const std::string& body) const {
  return http_post(control(), path, headers, body);
}

void FaultServer::set_content(const std::string& path, const std::string& bytes) {
  control_post(L"/content", {L"X-Path: " + wide_from_utf8(path)}, bytes);
}

void FaultServer::set_rule(const std::string& path, const nlohmann::json& rule) {
  nlohmann::json with_path = rule.is_object() ? rule : nlohmann::json::object();
  with_path["path"] = path;
  control_post(L"/rule", {L"Content-Type: application/json"}, with_path.dump());
}

std::vector<RecordedRequest> FaultServer::requests() const {
  std::string text;
  if (!download_to_string(control(), L"/requests", &text)) return {};
  const auto document = nlohmann::json::parse(text, nullptr, false);
  std::vector<RecordedRequest> recorded;
  if (!document.is_array()) return recorded;
  for (const auto& entry : document) {
    RecordedRequest request;
    request.method = entry.value("method", "");
    request.path = entry.value("path", "");
    request.header_lines = entry.value("header_lines", std::vector<std::string>());
    request.client_port = entry.value("client_port", 0);
    request.body = platform::base64_decode(entry.value("body_base64", ""));
    recorded.push_back(std::move(request));
  }
  return recorded;
}

void FaultServer::reset() { control_post(L"/reset", {}, ""); }

std::string test_pattern(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2166136261u;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 16777619u ^ static_cast<std::uint32_t>(i);
    bytes[i] = static_cast<char>(state >> 13);
  }
  return bytes;
}
