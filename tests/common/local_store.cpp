#include "common/local_store.h"

#include <cstdlib>
#include <random>
#include <vector>

#include "app/settings.h"
#include "common/temp_dir.h"
#include "platform/crypto.h"
#include "platform/http.h"
#include "platform/text.h"

namespace local_store {
namespace {

std::string quote(const std::string& text) { return "'" + text + "'"; }

// A test program that cannot start host tools (a Windows build under Wine)
// reaches the same tool through the bridge the test runner started
// (tests/tools/localstore_bridge.py, its port in LAUNCHER_TEST_STORE_BRIDGE).
int bridge_port() {
  const char* value = std::getenv("LAUNCHER_TEST_STORE_BRIDGE");
  return value ? std::atoi(value) : 0;
}

bool run_through_bridge(int port, const std::vector<std::string>& arguments, const std::string* data,
                        std::string* output) {
  nlohmann::json request = {{"args", arguments}};
  if (data) request["data_base64"] = platform::base64_encode(*data);
  platform::HttpTarget target;
  // Over HTTPS, with the fault servers' trusted certificate, whose CA the
  // runner made the prefix trust; by name, since Wine's WinINet refuses the
  // certificate's IP address entry.
  target.server = L"localhost";
  target.port = port;
  target.verb = HttpVerb::post;
  target.path = "/run";
  auto exchange = platform::open_http_exchange(target);
  if (!exchange ||
      exchange->send({"Content-Type: application/json"}, request.dump()) != platform::HttpFailure::none ||
      exchange->status() != 200) {
    return false;
  }
  if (output) {
    char buffer[65536];
    while (const std::size_t got = exchange->body().read(buffer, sizeof buffer)) output->append(buffer, got);
    return !exchange->body().failed();
  }
  return true;
}

// One localstore.py command; data, when given, goes in as the file named by
// the last argument, and output receives what the command prints.
bool run(const std::vector<std::string>& arguments, const std::string* data = nullptr,
         std::string* output = nullptr) {
  if (const int port = bridge_port()) return run_through_bridge(port, arguments, data, output);
  TempDir dir;
  std::string command = "python3 " + quote(std::string(LAUNCHER_SOURCE_DIR) + "/tests/tools/localstore.py");
  for (const auto& argument : arguments) command += " " + quote(argument);
  if (data) {
    const auto file = dir.path() / "data";
    write_file(file, *data);
    command += " " + quote(file.string());
  }
  const auto printed = dir.path() / "output";
  if (output) command += " > " + quote(printed.string());
  if (std::system(command.c_str()) != 0) return false;
  if (output) *output = read_file(printed);
  return true;
}

}  // namespace

HttpService blob_service() { return settings_from_build().download; }

std::string unique_name(const std::string& prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  return prefix + std::to_string(random() % 1'000'000'000'000ull);
}

bool create_container(const std::string& name, bool public_read) {
  std::vector<std::string> arguments = {"create-container", name};
  if (public_read) arguments.push_back("--public");
  return run(arguments);
}

bool put_blob(const std::string& container, const std::string& blob, const std::string& bytes) {
  return run({"put", container, blob}, &bytes);
}

bool create_table(const std::string& name) { return run({"create-table", name}); }
bool delete_table(const std::string& name) { return run({"delete-table", name}); }

nlohmann::json query_table(const std::string& name) {
  std::string text;
  if (!run({"query", name}, nullptr, &text)) return nullptr;
  return nlohmann::json::parse(text, nullptr, false);
}

}  // namespace local_store
