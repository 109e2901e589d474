// The fault-injecting server (tests/tools/faultserver.py) as a test fixture:
// started on loopback for the life of the object, told per path what to get
// wrong, and asked afterwards what requests it saw.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/http.h"

enum class TestCertificate {
  trusted,     // localhost, 127.0.0.1, *.blob.localhost, *.table.localhost, from the trusted test CA
  unknown_ca,  // the same names, from a CA nobody trusts
  wrong_name,  // trusted CA, issued for another host
  expired,     // trusted CA and the right names, but past its end date
  forged_ca,   // the right names, self-signed under the name and serial number of the CA nobody trusts
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::string> header_lines;  // "Name: value", in arrival order
  std::string body;
  int client_port = 0;  // the same port for requests on one connection

  // Value of the first line with that name (case-insensitive); empty when none.
  std::string header(const std::string& name) const;
  // Names of the header lines, in order.
  std::vector<std::string> header_names() const;
};

class FaultServer {
 public:
  // instance 1: a second server of that certificate, for tests that need two
  // stores (the Wine runner starts one for the trusted certificate).
  explicit FaultServer(TestCertificate certificate = TestCertificate::trusted, unsigned instance = 0);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  // Why the server could not be started (no python3 or openssl, or no server
  // from the test runner); empty when running.
  const std::string& unavailable() const { return unavailable_; }

  static std::wstring host() { return L"localhost"; }
  int port() const { return port_; }
  // The server as the launcher's settings name it: trusting the test CA its
  // certificates come from.
  HttpService service() const;
  // The CA nobody trusts, as a file for HttpService::ca_file.
  static std::string untrusted_ca_file();

  void set_content(const std::string& path, const std::string& bytes);
  // Rule keys as documented in faultserver.py, for example
  // {{"fail_times", 2}, {"fail_status", 500}}.
  void set_rule(const std::string& path, const nlohmann::json& rule);
  std::vector<RecordedRequest> requests() const;
  void reset();

 private:
  void use_running_server(TestCertificate certificate, unsigned instance);
  HttpService control() const;
  bool control_post(const std::wstring& path, const std::vector<std::wstring>& headers,
                    const std::string& body) const;

  std::string unavailable_;
  int port_ = 0;
  int control_port_ = 0;
  std::string ca_file_;  // empty when the test runner made the system trust it
  bool shared_ = false;  // started by the test runner, not by this fixture
};

// Skips the test when the fixture could not start its server.
#define SKIP_WITHOUT_FAULT_SERVER(server)                                    \
  do {                                                                       \
    if (!(server).unavailable().empty()) GTEST_SKIP() << (server).unavailable(); \
  } while (false)

// A deterministic byte pattern that makes misplaced ranges visible.
std::string test_pattern(std::size_t size);
