// Archives from the publisher, read by the readers people actually use.
#include <gtest/gtest.h>

#include <cstdio>

#include "pack.h"
#include "support.h"
#include "zip_writer.h"

using namespace publisher;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Reads the archive with Python's zipfile, checks every member's CRC and
// digest, and checks that placing each content at its destinations gives
// exactly the source folder. With a third argument, also compares the
// members another tool extracted there. Prints "contents members".
const char kVerify[] = R"PY(
import hashlib, json, os, sys, zipfile
archive, source = sys.argv[1], sys.argv[2]
extracted = sys.argv[3] if len(sys.argv) > 3 else None
z = zipfile.ZipFile(archive)
assert z.testzip() is None, 'bad member'
names = z.namelist()
assert len(names) == len(set(names)), 'a member twice'
assert names[:2] == ['arcinfo.json', 'arcconfig.json'], names[:2]
info = json.loads(z.read('arcinfo.json'))
placed = set()
for entry in info:
    data = z.read(entry['hash'])
    assert hashlib.sha256(data).hexdigest() == entry['hash'], entry['hash']
    assert entry['dst'] == sorted(entry['dst']), entry['dst']
    for dst in entry['dst']:
        with open(os.path.join(source, *dst.split('\\')), 'rb') as f:
            assert f.read() == data, dst
        placed.add(dst)
    if extracted:
        with open(os.path.join(extracted, entry['hash']), 'rb') as f:
            assert f.read() == data, 'extracted ' + entry['hash']
present = set()
for root, dirs, files in os.walk(source):
    for name in files:
        present.add(os.path.relpath(os.path.join(root, name), source).replace(os.sep, '\\'))
assert present == placed, (present ^ placed)
assert len(names) == len(info) + 2
# Contents in the order of their first destinations, so that an update's
# changed contents keep their neighbours.
assert names[2:] == [entry['hash'] for entry in info], 'member order'
firsts = [entry['dst'][0].encode() for entry in info]
assert firsts == sorted(firsts), 'not by first destination'
print(len(info), len(names))
)PY";

// Member name, compression method and Unix mode (octal) per line.
const char kListModes[] = R"PY(
import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    print(i.filename, i.compress_type, oct(i.external_attr >> 16), i.create_system)
)PY";

std::string pseudo_random(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<char>(x);
  }
  return bytes;
}

fs::path make_setup_folder(const Scratch& scratch) {
  const fs::path setup = scratch / "setup";
  put(setup / "setup.sh", "#!/bin/sh\necho installing\n", 0755);
  put(setup / "setup.exe", "MZ" + pseudo_random(70000, 1));
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  put(setup / "docs" / "readme.txt", text);
  put(setup / "docs" / "copy of readme.txt", text);
  put(setup / "de" / "readme.txt", text, 0600);
  put(setup / "data" / "empty.dat", "");
  put(setup / "data" / "also empty.dat", "");
  put(setup / "data" / "random.bin", pseudo_random(3 << 20, 2));
  put(setup / "data" / "tools" / "helper", "#!/bin/sh\n", 0700);
  put(setup / "Umlaute Ä ö.txt", "unicode name");
  fs::create_symlink("../setup.exe", setup / "data" / "setup-link.exe");
  return setup;
}

PackResult pack_folder(const fs::path& setup, const fs::path& output) {
  PackOptions options;
  options.setup_folder = setup;
  options.output = output;
  options.start_commands = {parse_start_command("*:*:setup.sh"), parse_start_command("de:x64:setup.exe:/lang=de")};
  return pack(options);
}

std::string mode_of(const std::string& listing, const std::string& name) {
  const std::size_t at = listing.find(name + " ");
  return at == std::string::npos ? "" : listing.substr(at, listing.find('\n', at) - at);
}

}  // namespace

TEST(ArchiveReaders, ReadWhatPackWrites) {
  Scratch scratch;
  const fs::path setup = make_setup_folder(scratch);
  const PackResult result = pack_folder(setup, scratch / "release.zip");
  EXPECT_EQ(result.files, 11u);
  EXPECT_EQ(result.contents, 7u);  // three readmes, two empties and the link share contents

  const Outcome python = run_python(kVerify, {(scratch / "release.zip").string(), setup.string()});
  ASSERT_EQ(python.status, 0) << python.output;
  EXPECT_EQ(python.output, "7 9\n");

  const Outcome unzip = run("unzip -t " + quote((scratch / "release.zip").string()));
  EXPECT_EQ(unzip.status, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;

  fs::create_directories(scratch / "bsdtar");
  const Outcome list = run("bsdtar -tf " + quote((scratch / "release.zip").string()));
  EXPECT_EQ(list.status, 0) << list.output;
  const Outcome extract =
      run("bsdtar -xf " + quote((scratch / "release.zip").string()) + " -C " + quote((scratch / "bsdtar").string()));
  ASSERT_EQ(extract.status, 0) << extract.output;
  const Outcome compared =
      run_python(kVerify, {(scratch / "release.zip").string(), setup.string(), (scratch / "bsdtar").string()});
  EXPECT_EQ(compared.status, 0) << compared.output;

  const std::string config = run("unzip -p " + quote((scratch / "release.zip").string()) + " arcconfig.json").output;
  EXPECT_NE(config.find(R"("arguments": "/lang=de")"), std::string::npos) << config;
  EXPECT_LT(config.find("setup.sh"), config.find("setup.exe")) << "start commands keep their order";

  // The digests the release index pins the manifests with.
  const std::string archive = quote((scratch / "release.zip").string());
  EXPECT_EQ(run("unzip -p " + archive + " arcinfo.json | sha256sum").output.substr(0, 64), result.arcinfo_sha256);
  EXPECT_EQ(run("unzip -p " + archive + " arcconfig.json | sha256sum").output.substr(0, 64), result.arcconfig_sha256);
}

TEST(ArchiveReaders, UnixModesKeepOnlyTheExecutableBits) {
  Scratch scratch;
  const fs::path setup = scratch / "setup";
  put(setup / "setup.sh", "#!/bin/sh\n", 0755);
  put(setup / "owner-only.sh", "#!/bin/sh\nexit 1\n", 0700);
  put(setup / "plain.txt", "text", 0600);
  put(setup / "setuid", "suid", 0644);
  fs::permissions(setup / "setuid", fs::perms::set_uid | fs::perms::owner_exec | fs::perms::others_write,
                  fs::perm_options::add);
  // The same content once executable, once not: executable wins.
  put(setup / "tool", "same", 0644);
  put(setup / "bin" / "tool", "same", 0755);
  PackOptions options;
  options.setup_folder = setup;
  options.output = scratch / "modes.zip";
  options.start_commands = {parse_start_command("*:*:setup.sh")};
  pack(options);

  const Outcome listing = run_python(kListModes, {options.output.string()});
  ASSERT_EQ(listing.status, 0) << listing.output;
  const std::string digest_of_setup = "f5d1bbb8";  // placeholder, resolved below
  (void)digest_of_setup;
  const Outcome digests = run_python(
      "import hashlib,sys\nfor p in sys.argv[1:]: print(hashlib.sha256(open(p,'rb').read()).hexdigest())",
      {(setup / "setup.sh").string(), (setup / "owner-only.sh").string(), (setup / "plain.txt").string(),
       (setup / "setuid").string(), (setup / "tool").string()});
  ASSERT_EQ(digests.status, 0);
  std::vector<std::string> hashes;
  for (std::size_t at = 0; at < digests.output.size(); at += 65) hashes.push_back(digests.output.substr(at, 64));
  ASSERT_EQ(hashes.size(), 5u);
  EXPECT_NE(mode_of(listing.output, hashes[0]).find("0o100755 3"), std::string::npos) << listing.output;
  EXPECT_NE(mode_of(listing.output, hashes[1]).find("0o100744 3"), std::string::npos) << listing.output;
  EXPECT_NE(mode_of(listing.output, hashes[2]).find("0o100644 3"), std::string::npos) << listing.output;
  EXPECT_NE(mode_of(listing.output, hashes[3]).find("0o100744 3"), std::string::npos) << listing.output;
  EXPECT_NE(mode_of(listing.output, hashes[4]).find("0o100755 3"), std::string::npos) << listing.output;

  // Info-ZIP restores the bits it was given.
  const Outcome unzip = run("cd " + quote(scratch.path().string()) + " && unzip -q -d out modes.zip");
  ASSERT_EQ(unzip.status, 0) << unzip.output;
  EXPECT_EQ(::access((scratch / "out" / hashes[0]).c_str(), X_OK), 0);
  EXPECT_NE(::access((scratch / "out" / hashes[2]).c_str(), X_OK), 0);
}

TEST(ArchiveReaders, CompressOnlyWhereItPays) {
  Scratch scratch;
  const fs::path setup = make_setup_folder(scratch);
  pack_folder(setup, scratch / "release.zip");
  const Outcome listing = run_python(kListModes, {(scratch / "release.zip").string()});
  ASSERT_EQ(listing.status, 0) << listing.output;
  const Outcome digests = run_python(
      "import hashlib,sys\nfor p in sys.argv[1:]: print(hashlib.sha256(open(p,'rb').read()).hexdigest())",
      {(setup / "data" / "random.bin").string(), (setup / "docs" / "readme.txt").string()});
  const std::string random_digest = digests.output.substr(0, 64);
  const std::string text_digest = digests.output.substr(65, 64);
  EXPECT_NE(mode_of(listing.output, random_digest).find(" 0 "), std::string::npos) << listing.output;
  EXPECT_NE(mode_of(listing.output, text_digest).find(" 8 "), std::string::npos) << listing.output;
}

TEST(ArchiveReaders, SameFolderGivesTheSameBytes) {
  Scratch scratch;
  const fs::path setup = make_setup_folder(scratch);
  pack_folder(setup, scratch / "first.zip");
  // Other times and another order of creation must not matter.
  fs::last_write_time(setup / "setup.exe", fs::file_time_type::clock::now() - std::chrono::hours(100));
  const std::string text = slurp(setup / "docs" / "readme.txt");
  fs::remove(setup / "docs" / "readme.txt");
  put(setup / "docs" / "readme.txt", text);
  pack_folder(setup, scratch / "second.zip");
  EXPECT_EQ(slurp(scratch / "first.zip"), slurp(scratch / "second.zip"));

  put(setup / "docs" / "readme.txt", text + "changed");
  pack_folder(setup, scratch / "third.zip");
  EXPECT_NE(slurp(scratch / "first.zip"), slurp(scratch / "third.zip"));
}

TEST(ArchiveReaders, Zip64LayoutIsReadWhenSizesAndOffsetsNeedIt) {
  Scratch scratch;
  // Lowered limits put every size, offset and the member count into their
  // ZIP64 forms while the archive stays small.
  ZipLimits limits;
  limits.max_32 = 5000;
  limits.max_16 = 4;
  const std::string text(20000, 'a');
  const std::string noise = pseudo_random(9000, 3);
  // Above the writer's in-memory piece: streamed, then patched or rewritten.
  const std::string big_text(1536 * 1024, 'b');
  const std::string big_noise = pseudo_random(1200 * 1024, 4);
  {
    ZipWriter writer(scratch / "z64.zip", limits);
    writer.add_bytes("small", "tiny", 0644);
    writer.add_bytes("text", text, 0755);
    writer.add_bytes("noise", noise, 0644);
    writer.add_bytes("after", "behind the limit", 0644);
    writer.add_bytes("empty", "", 0644);
    writer.add_bytes("big text", big_text, 0644);
    writer.add_bytes("big noise", big_noise, 0644);
    writer.finish();
  }
  const std::string bytes = slurp(scratch / "z64.zip");
  EXPECT_NE(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos) << "no ZIP64 end record";

  const Outcome python = run_python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
assert z.namelist() == ['small', 'text', 'noise', 'after', 'empty', 'big text', 'big noise'], z.namelist()
assert z.read('big text') == b'b' * (1536 * 1024)
assert z.getinfo('big text').compress_type == 8 and z.getinfo('big noise').compress_type == 0
assert z.read('text') == b'a' * 20000
assert len(z.read('noise')) == 9000
assert z.read('after') == b'behind the limit'
assert z.getinfo('noise').compress_type == 0
print(oct(z.getinfo('text').external_attr >> 16))
)PY",
                                {(scratch / "z64.zip").string()});
  EXPECT_EQ(python.status, 0) << python.output;
  EXPECT_EQ(python.output, "0o100755\n");

  const Outcome unzip = run("unzip -tq " + quote((scratch / "z64.zip").string()));
  EXPECT_EQ(unzip.status, 0) << unzip.output;
  const Outcome extract = run("bsdtar -xf " + quote((scratch / "z64.zip").string()) + " -C " + quote(scratch.path()));
  EXPECT_EQ(extract.status, 0) << extract.output;
  EXPECT_EQ(slurp(scratch / "noise"), noise);
  EXPECT_EQ(slurp(scratch / "big noise"), big_noise);
}

TEST(ArchiveReaders, MoreMembersThanTheClassicDirectoryHolds) {
  Scratch scratch;
  {
    ZipWriter writer(scratch / "many.zip");
    for (int i = 0; i < 70000; ++i) writer.add_bytes("m" + std::to_string(i), std::to_string(i * 3), 0644);
    writer.finish();
  }
  const Outcome python = run_python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = z.namelist()
assert len(names) == 70000, len(names)
assert z.read('m69999') == b'209997' and z.read('m0') == b'0' and z.read('m65535') == b'196605'
print('ok')
)PY",
                                {(scratch / "many.zip").string()});
  EXPECT_EQ(python.output, "ok\n");
  const Outcome unzip = run("unzip -tq " + quote((scratch / "many.zip").string()));
  EXPECT_EQ(unzip.status, 0) << unzip.output;
}
