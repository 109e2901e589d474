// The setuppublish executable end to end: help, errors, the command chain,
// and publishing into a folder and into the local blob store.
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "build_settings.h"
#include "formats/release_index.h"
#include "platform/crypto.h"
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

// Whether the openssl command line takes every line of the signature
// object as a signature of the file by the public key.
bool openssl_verifies(const Scratch& scratch, const fs::path& public_key, const fs::path& file,
                      const fs::path& signature_object) {
  std::istringstream lines(slurp(signature_object));
  int verified = 0;
  for (std::string line; std::getline(lines, line); ++verified) {
    put(scratch / "line.der", platform::base64_decode(line));
    const Outcome outcome = run("openssl dgst -sha256 -verify " + quote(public_key.string()) + " -signature " +
                                quote((scratch / "line.der").string()) + " " + quote(file.string()));
    if (outcome.status != 0) return false;
  }
  return verified > 0;
}

std::string random_digits() {
  std::random_device random;
  return std::to_string(random() % 100000000);
}

}  // namespace

TEST(Tool, EveryCommandHasHelp) {
  for (const std::string command : {"pack", "blocks", "index", "upload", "publish", "resign", "keygen"}) {
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
    args.insert(args.end(), {"--version", key});
    expect_failure(args, key.empty() ? 2 : 1, key.empty() ? "empty" : "release key");
  }
  std::vector<std::string> old_name = index;
  old_name.insert(old_name.end(), {"--key", "4.2"});
  expect_failure(old_name, 2, "given with --version");
  std::vector<std::string> bad_name = index;
  bad_name.insert(bad_name.end(), {"--version", "4.2", "--filename", "a:b.zip"});
  expect_failure(bad_name, 1, "file name 'a:b.zip'");
  EXPECT_FALSE(fs::exists(scratch / "index.json"));
  expect_failure({"publish", setup.string(), "--product", "my_product", "--version", "1.0", "--release", "x", "--start",
                  "*:*:setup.sh", "--to-folder", (scratch / "www").string()},
                 1, "does not make a container name");
  expect_failure({"publish", setup.string(), "--product", "prod", "--version", "1.0", "--release", "x", "--start",
                  "*:*:setup.sh", "--to-folder", "w", "--account", "a"},
                 2, "exclude each other");
  // The account key never on the command line; a key file only if private.
  const std::vector<std::string> publish = {"publish",  setup.string(), "--product", "prod", "--version", "1.0",
                                            "--release", "x",           "--start",   "*:*:setup.sh", "--account", "a"};
  std::vector<std::string> with_key = publish;
  with_key.insert(with_key.end(), {"--key", "c2VjcmV0"});
  expect_failure(with_key, 2, "never taken from the command line");
  put(scratch / "account.key", "c2VjcmV0\n", 0644);
  std::vector<std::string> shared_file = publish;
  shared_file.insert(shared_file.end(), {"--key-file", (scratch / "account.key").string()});
  expect_failure(shared_file, 1, "group or others may read");
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
    std::vector<std::string> args = {"index",       index.string(),   "--version",     version,
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
  const Outcome damaged = run_tool({"index", index.string(), "--version", "4.3", "--release", "x", "--container", "p-4",
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

TEST(Tool, SignsTheIndexItWritesAndRemovesASignatureItInvalidates) {
  Scratch scratch;
  ASSERT_EQ(run_tool({"keygen", "--out", (scratch / "keys").string()}).status, 0);
  EXPECT_EQ(fs::status(scratch / "keys" / "index-signing.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  expect_failure({"keygen", "--out", (scratch / "keys").string()}, 1, "never overwritten");
  put(scratch / "list", "[\"00\"]");
  const fs::path index = scratch / "index.json";
  const fs::path signature = scratch / "index.json.sig";
  std::vector<std::string> args = {"index",       index.string(), "--version",   "4.1",       "--release",
                                   "R",           "--container",  "p-4-1",       "--filename", "p.zip",
                                   "--blockhash", "p.blockhash",  "--block-size", "4M",       "--filesize",
                                   "1",           "--hash",       std::string(64, 'a')};
  std::vector<std::string> signed_args = args;
  signed_args.insert(signed_args.end(), {"--sign-key", (scratch / "keys" / "index-signing.key").string()});
  // Every release needs its list's digest before the index can be signed.
  expect_failure(signed_args, 1, "which 4.1 lack");
  EXPECT_FALSE(fs::exists(index));
  signed_args.insert(signed_args.end(), {"--blockhash-file", (scratch / "list").string(), "--valid-for", "12h"});
  const Outcome signed_index = run_tool(signed_args);
  ASSERT_EQ(signed_index.status, 0) << signed_index.output;
  EXPECT_TRUE(openssl_verifies(scratch, scratch / "keys" / "index-signing.pub", index, signature));
  const json written = read_json(index);
  EXPECT_EQ(written["sequence"], 1);
  EXPECT_EQ(written["releases"]["4.1"]["blockhash_sha256"], hash_buffer("[\"00\"]", L"SHA256", true));
  const auto expires = parse_utc_time(written["expires"].get<std::string>());
  ASSERT_TRUE(expires);
  EXPECT_NEAR(static_cast<double>(*expires - std::time(nullptr)), 12 * 3600, 60);

  // An unsigned change leaves no stale signature behind.
  const Outcome unsigned_index = run_tool(args);
  ASSERT_EQ(unsigned_index.status, 0) << unsigned_index.output;
  EXPECT_EQ(read_json(index)["sequence"], 2);
  EXPECT_FALSE(fs::exists(signature));
}

TEST(Tool, SignedPublicationsIntoAFolder) {
  Scratch scratch;
  ASSERT_EQ(run_tool({"keygen", "--out", (scratch / "keys").string()}).status, 0);
  const fs::path www = scratch / "www";
  const fs::path index = www / "brelvant-x64-v2" / "index";
  const fs::path signature = www / "brelvant-x64-v2" / "index.sig";
  const std::string key = (scratch / "keys" / "index-signing.key").string();
  const auto publish = [&](const std::string& version, std::vector<std::string> extra) {
    std::vector<std::string> args = {"publish",   make_setup(scratch, "setup-" + version).string(),
                                     "--product", "brelvant-x64",
                                     "--version", version,
                                     "--release", "Brelvant " + version,
                                     "--start",   "*:*:setup.sh",
                                     "--work-dir", (scratch / "work").string(),
                                     "--to-folder", www.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_tool(args);
  };
  // An index published before signing began, whose release lacks the digest.
  ASSERT_EQ(publish("4.1.0", {}).status, 0);
  json unsigned_index = read_json(index);
  unsigned_index["releases"]["4.1.0"].erase("blockhash_sha256");
  put(index, unsigned_index.dump());

  const Outcome first = publish("4.2.0", {"--sign-key", key, "--current"});
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_NE(first.output.find("release 4.1.0: blockhash_sha256 added"), std::string::npos) << first.output;
  EXPECT_TRUE(openssl_verifies(scratch, scratch / "keys" / "index-signing.pub", index, signature));
  json signed_index = read_json(index);
  EXPECT_EQ(signed_index["sequence"], 2);
  EXPECT_EQ(signed_index["releases"]["4.1.0"]["blockhash_sha256"],
            hash_buffer(slurp(www / "brelvant-x64-4-1-0" / "brelvant-x64-4.1.0.blockhash"), L"SHA256", true));
  EXPECT_NEAR(static_cast<double>(*parse_utc_time(signed_index["expires"].get<std::string>()) - std::time(nullptr)),
              90 * 86400, 60);
  // The signature covers the manifests' digests too.
  const std::string published = quote((www / "brelvant-x64-4-2-0" / "brelvant-x64-4.2.0.zip").string());
  for (const char* member : {"arcinfo", "arcconfig"}) {
    EXPECT_EQ(signed_index["releases"]["4.2.0"][std::string(member) + "_sha256"],
              run("unzip -p " + published + " " + member + ".json | sha256sum").output.substr(0, 64))
        << member;
  }

  // Once signed, always signed; and a key others can read is refused.
  expect_failure({"publish", make_setup(scratch, "setup-4.3.0").string(), "--product", "brelvant-x64", "--version",
                  "4.3.0", "--release", "x", "--start", "*:*:setup.sh", "--to-folder", www.string(), "--work-dir",
                  (scratch / "work").string()},
                 1, "give --sign-key");
  fs::permissions(key, fs::perms::group_read, fs::perm_options::add);
  expect_failure({"resign", "--product", "brelvant-x64", "--sign-key", key, "--to-folder", www.string()}, 1,
                 "group or others may read");
  fs::permissions(key, fs::perms::group_read, fs::perm_options::remove);

  // The same version again: the same bytes are kept, other bytes refused.
  const Outcome again = publish("4.2.0", {"--sign-key", key});
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_NE(again.output.find("is in the store already"), std::string::npos) << again.output;
  put(scratch / "setup-4.2.0" / "extra.txt", "changed");
  const std::string archive = slurp(www / "brelvant-x64-4-2-0" / "brelvant-x64-4.2.0.zip");
  const Outcome changed = publish("4.2.0", {"--sign-key", key});
  EXPECT_EQ(changed.status, 1);
  EXPECT_NE(changed.output.find("exists with other bytes"), std::string::npos) << changed.output;
  EXPECT_TRUE(slurp(www / "brelvant-x64-4-2-0" / "brelvant-x64-4.2.0.zip") == archive);
  EXPECT_EQ(read_json(index)["sequence"], 3);

  // Resigning renews sequence and expiry, and nothing else.
  const json before = read_json(index);
  const Outcome resigned = run_tool({"resign", "--product", "brelvant-x64", "--sign-key", key, "--valid-for", "2d",
                                     "--to-folder", www.string()});
  ASSERT_EQ(resigned.status, 0) << resigned.output;
  const json renewed = read_json(index);
  EXPECT_EQ(renewed["sequence"], 4);
  EXPECT_EQ(renewed["releases"], before["releases"]);
  EXPECT_NE(renewed["expires"], before["expires"]);
  EXPECT_TRUE(openssl_verifies(scratch, scratch / "keys" / "index-signing.pub", index, signature));
}

TEST(LocalStore, PublishesReleasesTheLauncherCanFetchAnonymously) {
  const std::string endpoint =
      std::string("https://") + build_settings::download_host + ":" + std::to_string(build_settings::download_port);
  if (run("bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(build_settings::download_port) + "'").status != 0) {
    GTEST_SKIP() << "the local store is not running (scripts/azurite start)";
  }
  Scratch scratch;
  put(scratch / "account.key", std::string(build_settings::telemetry_key) + "\n", 0600);
  ASSERT_EQ(run_tool({"keygen", "--out", (scratch / "keys").string()}).status, 0);
  const std::string product = "pt" + random_digits() + "-x64";
  const auto publish = [&](const std::string& version) {
    return run_tool({"publish", make_setup(scratch, "setup-" + version).string(), "--product", product, "--version",
                     version, "--release", "Release " + version, "--start", "*:*:setup.sh", "--block-size", "1M",
                     "--work-dir", (scratch / "work").string(), "--endpoint", endpoint, "--account",
                     build_settings::telemetry_account, "--key-file", (scratch / "account.key").string(), "--ca-file",
                     build_settings::ca_file, "--sign-key", (scratch / "keys" / "index-signing.key").string(),
                     // Small upload blocks send the archive as a block list.
                     "--upload-block-size", "1M", "--current"});
  };
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    const Outcome published = publish(version);
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
  put(scratch / "index", index_text.output);
  put(scratch / "index.sig", get(product + "-v2/index.sig").output);
  EXPECT_TRUE(openssl_verifies(scratch, scratch / "keys" / "index-signing.pub", scratch / "index",
                               scratch / "index.sig"));
  const json index = json::parse(index_text.output, nullptr, false);
  EXPECT_EQ(index["current_release"], "4.2.0");
  EXPECT_EQ(index["sequence"], 2);
  ASSERT_EQ(index["releases"].size(), 2u);
  for (const std::string version : {"4.1.0", "4.2.0"}) {
    const json& entry = index["releases"][version];
    const std::string container = entry["containername"];
    const std::string archive = get(container + "/" + entry["filename"].get<std::string>()).output;
    EXPECT_TRUE(archive == slurp(scratch / "work" / entry["filename"].get<std::string>()));
    EXPECT_EQ(hash_buffer(archive, L"SHA256", true), entry["hash"]);
    const json list = json::parse(get(container + "/" + entry["blockhash"].get<std::string>()).output);
    ASSERT_EQ(list.size(), (archive.size() + (1 << 20) - 1) >> 20);
    EXPECT_EQ(list[0], md5_hex(archive.substr(0, 1 << 20)));
  }

  // The store knows the archive it holds: the same bytes again are kept,
  // other bytes refused.
  const Outcome again = publish("4.2.0");
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_NE(again.output.find("is in the store already"), std::string::npos) << again.output;
  put(scratch / "setup-4.2.0" / "extra.txt", "changed");
  const Outcome changed = publish("4.2.0");
  EXPECT_EQ(changed.status, 1);
  EXPECT_NE(changed.output.find("exists with other bytes"), std::string::npos) << changed.output;

  // A wrong key (from the environment) is refused by the service, and
  // nothing is reported as done.
  const Outcome wrong_key = run(
      "SETUPPUBLISH_KEY=AAAA " + quote(SETUPPUBLISH_EXE) + " publish " + quote(make_setup(scratch, "wrong").string()) +
      " --product " + product + " --version 4.3.0 --release x --start '*:*:setup.sh' --work-dir " +
      quote((scratch / "work").string()) + " --endpoint " + endpoint + " --account " +
      build_settings::telemetry_account + " --ca-file " + quote(build_settings::ca_file) + " --sign-key " +
      quote((scratch / "keys" / "index-signing.key").string()));
  EXPECT_EQ(wrong_key.status, 1) << wrong_key.output;
  EXPECT_NE(wrong_key.output.find("HTTP status 403"), std::string::npos) << wrong_key.output;
  EXPECT_EQ(wrong_key.output.find("published"), std::string::npos) << wrong_key.output;
}
