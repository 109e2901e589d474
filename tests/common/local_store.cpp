#include "common/local_store.h"

#include <cstdlib>
#include <random>

#include "build_settings.h"
#include "common/temp_dir.h"
#include "platform/text.h"

namespace local_store {
namespace {

std::string quote(const std::string& text) { return "'" + text + "'"; }

std::string tool_command(const std::string& arguments) {
  return "python3 " + quote(std::string(LAUNCHER_SOURCE_DIR) + "/tests/tools/localstore.py") + " " + arguments;
}

bool run(const std::string& arguments) { return std::system(tool_command(arguments).c_str()) == 0; }

}  // namespace

std::wstring blob_host() { return wide_from_utf8(build_settings::download_host); }
int blob_port() { return build_settings::download_port; }

std::string unique_name(const std::string& prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  return prefix + std::to_string(random() % 1'000'000'000'000ull);
}

bool create_container(const std::string& name, bool public_read) {
  return run("create-container " + quote(name) + (public_read ? " --public" : ""));
}

bool put_blob(const std::string& container, const std::string& blob, const std::string& bytes) {
  TempDir dir;
  const auto file = dir.path() / "blob";
  write_file(file, bytes);
  return run("put " + quote(container) + " " + quote(blob) + " " + quote(file.string()));
}

bool create_table(const std::string& name) { return run("create-table " + quote(name)); }
bool delete_table(const std::string& name) { return run("delete-table " + quote(name)); }

nlohmann::json query_table(const std::string& name) {
  TempDir dir;
  const auto output = dir.path() / "entities.json";
  if (!run("query " + quote(name) + " > " + quote(output.string()))) return nullptr;
  return nlohmann::json::parse(read_file(output), nullptr, false);
}

}  // namespace local_store
