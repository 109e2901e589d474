// The setuppublish executable end to end: help, errors, the command chain,
// and publishing into a folder and into the local blob store.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "build_settings.h"
#include "support.h"
#include "support/hashing.h"

using namespace testing_support;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

fs::path make_setup(const Scratch& scratch, const std::string& name = "setup") {
  const fs::path setup = scratch / name;
  put(setup / "setup.sh", "#!/bin/sh\necho installing " + name + "\n", 0755);
  put(setup / "bin" / "tool.dat", std::string(300000, 't'));
  put(setup / "bin" / "copy.dat", std::string(300000, 't'));
  std::string noise(2500000, '\0');
  std::mt19937 random(42);
  for (char& c : noise) c = static_cast<char>(random());
  put(setup / "data" / "noise.bin", noise);
  return setup;
}

json read_json(const fs::path& path) { return json::parse(slurp(path), nullptr, false); }

void expect_failure(const std::vector<std::string>& args, int status, const std::string& text) {
  const Outcome outcome = run_tool(args);
  EXPECT_EQ(outcome.status, status) << args[0] << ": " << outcome.output;
  EXPECT_NE(outcome.output.find(text), std::string::npos) << args[0] << ": " << outcome.output;
}

std::string random_digits() {
  std::random_device random;
  return std::to_string(random() % 100000000);
}

}  // namespace

TEST(Tool, EveryCommandHasHelp) {
  for (const std::string command : {"pack", "blocks", "index", "upload", "publish"}) {
    const Outcome help = run_tool({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.output.rfind("usage: setuppublish " + command, 0), 0u) << help.output;
  }
  EXPECT_EQ(run_tool({"--help"}).status, 0);
  EXPECT_EQ(run_tool({}).status, 2);
  EXPECT_EQ(run_tool({"unpack"}).status, 2);
}

TEST(Tool, ReportsBadInputClearly) {
  Scratch scratch;
  const fs::path setup = make_setup(scratch);
  const std::string out = (scratch / "out.zip").string();
  put(scratch / "some.zip", "0123456789");
  expect_failure({"pack", (scratch / "missing").string(), out, "--start", "*:*:setup.sh"}, 1, "does not exist");
  expect_failure({"pack", setup.string(), out, "--start", "*:*:setup.exe"}, 1, "names a file the setup folder");
  expect_failure({"pack", setup.string(), out, "--start", "fr:*:setup.sh"}, 1, "not one of de, en");
  expect_failure({"pack", setup.string(), out, "--start-file", (scratch / "none").string()}, 1, "cannot read");
  expect_failure({"pack", setup.string(), out, "--begin", "x"}, 2, "unknown option --begin");
  expect_failure({"pack", setup.string()}, 2, "needs SETUP_DIR and OUT.zip");
  expect_failure({"blocks", (scratch / "some.zip").string(), "--block-size", "0"}, 1, "bad block size");
  expect_failure({"blocks", (scratch / "some.zip").string(), "--block-size", "4X"}, 1, "bad block size");
  expect_failure({"blocks", (scratch / "some.zip").string()}, 2, "missing --block-size");
  expect_failure({"blocks", (scratch / "nothing.zip").string(), "--block-size", "4M"}, 1, "cannot read");
  const std::vector<std::string> index = {"index",       (scratch / "index.json").string(),
                                          "--release",   "R",
                                          "--container", "product-4-2",
                                          "--filename",  "p.zip",
                                          "--blockhash", "p.blockhash",
                                          "--block-size", "4M",
                                          "--filesize",  "10",
                                          "--hash",      std::string(64, 'a')};
  for (const std::string key : {"../4.2", "C:4.2", "4.2\\x", "", "con"}) {
    std::vector<std::string> args = index;
    args.insert(args.end(), {"--key", key});
    expect_failure(args, key.empty() ? 2 : 1, key.empty() ? "empty" : "release key");
  }
  std::vector<std::string> bad_name = index;
  bad_name.insert(bad_name.end(), {"--key", "4.2", "--filename", "a:b.zip"});
  expect_failure(bad_name, 1, "file name 'a:b.zip'");
  EXPECT_FALSE(fs::exists(scratch / "index.json"));
  expect_failure({"publish", setup.string(), "--product", "my_product", "--version", "1.0", "--release", "x", "--start",
                  "*:*:setup.sh", "--to-folder", (scratch / "www").string()},
                 1, "does not make a container name");
  expect_failure({"publish", setup.string(), "--product", "prod", "--version", "1.0", "--release", "x", "--start",
                  "*:*:setup.sh", "--to-folder", "w", "--account", "a"},
                 2, "exclude each other");
}

TEST(Tool, PackBlocksAndIndexChain) {
  Scratch scratch;
  const fs::path setup = make_setup(scratch);
  put(scratch / "start.txt", "# start\n*:x64:setup.sh:--64\n*:x86:setup.sh\n");
  const fs::path archive = scratch / "p.zip";
  ASSERT_EQ(run_tool({"pack", setup.string(), archive.string(), "--start-file", (scratch / "start.txt").string()})
                .status,
            0);
  const Outcome blocks = run_tool({"blocks", archive.string(), "--block-size", "1M"});
  ASSERT_EQ(blocks.status, 0) << blocks.output;
  const std::string bytes = slurp(archive);
  const std::string sha256 = hash_buffer(bytes, L"SHA256", true);
  EXPECT_NE(blocks.output.find("size: " + std::to_string(bytes.size()) + "\n"), std::string::npos) << blocks.output;
  EXPECT_NE(blocks.output.find("sha256: " + sha256 + "\n"), std::string::npos) << blocks.output;
  const json list = read_json(scratch / "p.blockhash");
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), (bytes.size() + (1 << 20) - 1) >> 20);
  EXPECT_EQ(list.back(), md5_hex(bytes.substr((list.size() - 1) << 20)));

  const fs::path index = scratch / "index.json";
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    std::vector<std::string> args = {"index",       index.string(),   "--key",         version,
                                     "--release",   "Release " + version, "--container", "p-" + version.substr(0, 1),
                                     "--filename",  "p.zip",          "--blockhash",   "p.blockhash",
                                     "--block-size", "1M",             "--filesize",    std::to_string(bytes.size()),
                                     "--hash",      sha256};
    if (version == "4.2.0") args.insert(args.end(), {"--current", "--forbid-release-selection"});
    const Outcome added = run_tool(args);
    ASSERT_EQ(added.status, 0) << added.output;
  }
  const json written = read_json(index);
  EXPECT_EQ(written["current_release"], "4.2.0");
  EXPECT_EQ(written["forbid_release_selection"], true);
  EXPECT_EQ(written["releases"].size(), 2u);
  EXPECT_EQ(written["releases"]["4.1.0"]["blocksize"], 1 << 20);
  EXPECT_EQ(written["releases"]["4.1.0"]["filesize"], bytes.size());

  put(index, "{\"releases\": ");
  const Outcome damaged = run_tool({"index", index.string(), "--key", "4.3", "--release", "x", "--container", "p-4",
                                    "--filename", "p.zip", "--blockhash", "p.b", "--block-size", "1M", "--filesize",
                                    "1", "--hash", sha256});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(slurp(index), "{\"releases\": ") << "a damaged index must stay untouched";
}

TEST(Tool, PublishingIntoAFolderKeepsEarlierReleases) {
  Scratch scratch;
  const fs::path www = scratch / "www";
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    const fs::path setup = make_setup(scratch, "setup-" + version);
    std::vector<std::string> args = {"publish",   setup.string(), "--product", "brelvant-x64", "--version", version,
                                     "--release", "Brelvant " + version, "--start", "*:*:setup.sh",
                                     "--block-size", "1M", "--work-dir", (scratch / "work").string(),
                                     "--to-folder", www.string()};
    if (version == "4.2.0") args.push_back("--current");
    const Outcome published = run_tool(args);
    ASSERT_EQ(published.status, 0) << published.output;
  }
  const json index = read_json(www / "brelvant-x64-v2" / "index");
  ASSERT_TRUE(index.is_object()) << slurp(www / "brelvant-x64-v2" / "index");
  EXPECT_EQ(index["current_release"], "4.2.0");
  ASSERT_EQ(index["releases"].size(), 2u);
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    const json& entry = index["releases"][version];
    const std::string container = "brelvant-x64-" + version.substr(0, 1) + "-" + version.substr(2, 1) + "-0";
    EXPECT_EQ(entry["containername"], container);
    const std::string archive = slurp(www / container / entry["filename"].get<std::string>());
    EXPECT_EQ(archive.size(), entry["filesize"].get<std::uint64_t>());
    EXPECT_EQ(hash_buffer(archive, L"SHA256", true), entry["hash"]);
    const json list = read_json(www / container / entry["blockhash"].get<std::string>());
    EXPECT_EQ(list.size(), (archive.size() + (1 << 20) - 1) >> 20);
  }

  // A lone upload may not drop the releases the stored index has.
  const fs::path work = scratch / "work";
  put(scratch / "only.json", slurp(www / "brelvant-x64-v2" / "index"));
  json only = read_json(scratch / "only.json");
  only["releases"].erase("4.1.0");
  put(scratch / "only.json", only.dump());
  const std::vector<std::string> upload = {"upload",        (scratch / "only.json").string(),
                                           "--product",     "brelvant-x64",
                                           "--version",     "4.2.0",
                                           "--archive",     (work / "brelvant-x64-4.2.0.zip").string(),
                                           "--blockhash-file", (work / "brelvant-x64-4.2.0.blockhash").string(),
                                           "--to-folder",   www.string()};
  const Outcome refused = run_tool(upload);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.output.find("has release 4.1.0"), std::string::npos) << refused.output;
  std::vector<std::string> replace = upload;
  replace.push_back("--replace-index");
  const Outcome replaced = run_tool(replace);
  EXPECT_EQ(replaced.status, 0) << replaced.output;
  EXPECT_EQ(read_json(www / "brelvant-x64-v2" / "index")["releases"].size(), 1u);
}

TEST(LocalStore, PublishesReleasesTheLauncherCanFetchAnonymously) {
  const std::string endpoint =
      std::string("https://") + build_settings::download_host + ":" + std::to_string(build_settings::download_port);
  if (run("bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(build_settings::download_port) + "'").status != 0) {
    GTEST_SKIP() << "the local store is not running (scripts/azurite start)";
  }
  Scratch scratch;
  const std::string product = "pt" + random_digits() + "-x64";
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    const fs::path setup = make_setup(scratch, "setup-" + version);
    std::vector<std::string> args = {"publish", setup.string(), "--product", product, "--version", version,
                                     "--release", "Release " + version, "--start", "*:*:setup.sh",
                                     "--block-size", "1M", "--work-dir", (scratch / "work").string(),
                                     "--endpoint", endpoint, "--account", build_settings::telemetry_account,
                                     "--key", build_settings::telemetry_key, "--ca-file", build_settings::ca_file,
                                     // Small upload blocks send the archive as a block list.
                                     "--upload-block-size", "1M", "--current"};
    const Outcome published = run_tool(args);
    ASSERT_EQ(published.status, 0) << published.output;
  }

  // Fetched the way the launcher fetches: anonymous HTTPS GET (by address,
  // since Python does not resolve *.localhost itself).
  const char fetch[] = R"PY(
import ssl, sys, urllib.request
context = ssl.create_default_context(cafile=sys.argv[1])
with urllib.request.urlopen(sys.argv[2], context=context) as response:
    sys.stdout.buffer.write(response.read())
)PY";
  const auto get = [&](const std::string& object) {
    return run_python(fetch, {build_settings::ca_file, "https://127.0.0.1:" +
                                                           std::to_string(build_settings::download_port) + "/" +
                                                           build_settings::telemetry_account + "/" + object});
  };
  const Outcome index_text = get(product + "-v2/index");
  ASSERT_EQ(index_text.status, 0) << index_text.output;
  const json index = json::parse(index_text.output, nullptr, false);
  EXPECT_EQ(index["current_release"], "4.2.0");
  ASSERT_EQ(index["releases"].size(), 2u);
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    const json& entry = index["releases"][version];
    const std::string container = entry["containername"];
    const std::string archive = get(container + "/" + entry["filename"].get<std::string>()).output;
    EXPECT_EQ(archive, slurp(scratch / "work" / entry["filename"].get<std::string>()));
    EXPECT_EQ(hash_buffer(archive, L"SHA256", true), entry["hash"]);
    const json list = json::parse(get(container + "/" + entry["blockhash"].get<std::string>()).output);
    ASSERT_EQ(list.size(), (archive.size() + (1 << 20) - 1) >> 20);
    EXPECT_EQ(list[0], md5_hex(archive.substr(0, 1 << 20)));
  }

  // A wrong key is refused by the service, and nothing is reported as done.
  const Outcome wrong_key = run_tool({"publish", make_setup(scratch, "wrong").string(), "--product", product,
                                      "--version", "4.3.0", "--release", "x", "--start", "*:*:setup.sh",
                                      "--work-dir", (scratch / "work").string(), "--endpoint", endpoint, "--account",
                                      build_settings::telemetry_account, "--key", "AAAA", "--ca-file",
                                      build_settings::ca_file});
  EXPECT_EQ(wrong_key.status, 1) << wrong_key.output;
  EXPECT_NE(wrong_key.output.find("HTTP status 403"), std::string::npos) << wrong_key.output;
  EXPECT_EQ(wrong_key.output.find("published"), std::string::npos) << wrong_key.output;
}
