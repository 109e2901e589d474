#include "cli.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "blocks.h"
#include "formats/blockhash_list.h"
#include "formats/index_signature.h"
#include "names.h"
#include "pack.h"
#include "publication.h"
#include "publish_error.h"
#include "release_index.h"
#include "signing.h"
#include "store.h"
#include "support/hashing.h"

namespace fs = std::filesystem;

namespace publisher {

namespace {

class UsageError : public PublishError {
 public:
  using PublishError::PublishError;
};

const char kMainHelp[] =
    "usage: setuppublish COMMAND [ARGUMENTS]\n"
    "\n"
    "Publishes setup releases for the setup launcher.\n"
    "\n"
    "commands:\n"
    "  pack     pack a setup folder into a release archive\n"
    "  blocks   write the blockhash list of an archive, print its size and SHA-256\n"
    "  index    add a release to a product's release index\n"
    "  upload   put an archive, its blockhash list and the index into the store\n"
    "  publish  all of the above in one go\n"
    "  resign   renew the signed index in the store without changing releases\n"
    "  keygen   make a key pair for signing release indexes\n"
    "\n"
    "'setuppublish COMMAND --help' describes a command.\n";

const char kStartHelp[] =
    "  --start LANG:BITNESS:COMMAND[:ARGUMENTS]\n"
    "                      a setup program to start (repeatable, first match wins);\n"
    "                      LANG is de, en or *, BITNESS x64, x86 or *, COMMAND a\n"
    "                      file of the setup folder, for example *:*:setup.exe\n"
    "  --start-file FILE   start commands from FILE: JSON ({\"startCommands\": [...]})\n"
    "                      or one LANG:BITNESS:COMMAND[:ARGUMENTS] per line\n";

const char kStoreHelp[] =
    "store (one of):\n"
    "  --to-folder DIR     write CONTAINER/OBJECT files below DIR for a web server\n"
    "  --account NAME      blob storage account\n"
    "  --key-file FILE     a file holding its access key (Base64; mode 600);\n"
    "                      default: $SETUPPUBLISH_KEY. Never on the command line,\n"
    "                      where ps and the shell history would show it.\n"
    "  --endpoint URL      https address of the blob service\n"
    "                      (default https://NAME.blob.core.windows.net)\n"
    "  --ca-file FILE      trust the certificate authorities in FILE instead of the\n"
    "                      system's\n"
    "  --upload-block-size N  archives above N bytes go up in blocks of N (default 8M)\n"
    "  --replace           overwrite an archive or blockhash list of this version that\n"
    "                      the store holds with other bytes (they are written once)\n";

const char kSignHelp[] =
    "signing (for launchers built with index keys):\n"
    "  --sign-key FILE     sign the index with this private key (mode 600; repeatable:\n"
    "                      during a change of keys, the old and the new one)\n"
    "  --valid-for TIME    how long the signed index stays valid: Nd or Nh (90d)\n"
    "An index in the store that is signed is only replaced by a signed one.\n";

struct Option {
  std::string name;
  bool takes_value;
};

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> values;
  std::set<std::string> flags;

  bool has(const std::string& name) const { return flags.count(name) || values.count(name); }
  std::string value(const std::string& name, const std::string& fallback = {}) const {
    const auto found = values.find(name);
    return found == values.end() ? fallback : found->second.back();
  }
  std::string required(const std::string& name) const {
    if (!values.count(name)) throw UsageError("missing --" + name);
    const std::string text = value(name);
    if (text.empty()) throw UsageError("--" + name + " is empty");
    return text;
  }
  std::vector<std::string> all(const std::string& name) const {
    const auto found = values.find(name);
    return found == values.end() ? std::vector<std::string>() : found->second;
  }
};

Arguments parse(const std::vector<std::string>& args, std::size_t first, const std::vector<Option>& options) {
  Arguments parsed;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      parsed.positional.push_back(arg);
      continue;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inline_value;
    const std::size_t equals = name.find('=');
    if (equals != std::string::npos) {
      inline_value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const Option* option = nullptr;
    for (const Option& candidate : options)
      if (candidate.name == name) option = &candidate;
    if (!option) throw UsageError("unknown option --" + name);
    if (!option->takes_value) {
      if (inline_value) throw UsageError("--" + name + " takes no value");
      parsed.flags.insert(name);
    } else if (inline_value) {
      parsed.values[name].push_back(*inline_value);
    } else {
      if (i + 1 >= args.size()) throw UsageError("--" + name + " needs a value");
      parsed.values[name].push_back(args[++i]);
    }
  }
  return parsed;
}

std::uint64_t parse_count(const std::string& name, const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
    throw UsageError("--" + name + " '" + text + "' is not a whole number");
  }
  return std::stoull(text);
}

std::string read_text_file(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw PublishError("cannot read " + path.string() + ": no such file");
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw PublishError("cannot read " + path.string());
  return text.str();
}

void write_text_file(const fs::path& path, const std::string& text) {
  fs::path partial = path;
  partial += ".part";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw PublishError("cannot write " + path.string());
  }
  std::error_code ec;
  fs::rename(partial, path, ec);
  if (ec) throw PublishError("cannot write " + path.string() + ": " + ec.message());
}

std::vector<StartCommand> start_commands(const Arguments& args) {
  std::vector<StartCommand> commands;
  for (const std::string& text : args.all("start")) commands.push_back(parse_start_command(text));
  for (const std::string& file : args.all("start-file")) {
    const std::vector<StartCommand> more = parse_start_file(read_text_file(file));
    commands.insert(commands.end(), more.begin(), more.end());
  }
  return commands;
}

ReleaseSelection release_selection(const Arguments& args) {
  if (args.has("forbid-release-selection") && args.has("allow-release-selection")) {
    throw UsageError("--forbid-release-selection and --allow-release-selection contradict each other");
  }
  if (args.has("forbid-release-selection")) return ReleaseSelection::forbid;
  if (args.has("allow-release-selection")) return ReleaseSelection::allow;
  return ReleaseSelection::keep;
}

// "key" only to say where the account key comes from instead.
const std::vector<Option> kStoreOptions = {{"to-folder", true}, {"account", true}, {"key-file", true},
                                           {"key", true},       {"endpoint", true}, {"ca-file", true},
                                           {"upload-block-size", true}};
const std::vector<Option> kSignOptions = {{"sign-key", true}, {"valid-for", true}};

std::vector<Option> with(std::vector<Option> options, const std::vector<Option>& more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

std::string without_line_end(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

std::unique_ptr<Store> open_store(const Arguments& args) {
  if (args.has("key")) {
    throw UsageError("the account key is never taken from the command line, where ps and the shell history show "
                     "it: set SETUPPUBLISH_KEY or give --key-file FILE");
  }
  const bool remote = args.has("account") || args.has("endpoint") || args.has("key-file");
  if (args.has("to-folder")) {
    if (remote) throw UsageError("--to-folder and the blob store options exclude each other");
    const fs::path folder = args.required("to-folder");
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) throw PublishError("cannot create the folder " + folder.string());
    return make_folder_store(folder);
  }
  BlobEndpoint endpoint;
  endpoint.account = args.value("account");
  if (endpoint.account.empty()) throw UsageError("name the store: --to-folder DIR or --account NAME");
  endpoint.url = args.value("endpoint", "https://" + endpoint.account + ".blob.core.windows.net");
  if (args.has("key-file")) {
    endpoint.key = without_line_end(read_private_file(args.required("key-file")));
  } else if (std::getenv("SETUPPUBLISH_KEY")) {
    endpoint.key = std::getenv("SETUPPUBLISH_KEY");
  }
  if (endpoint.key.empty()) throw UsageError("no account key: set SETUPPUBLISH_KEY or give --key-file FILE");
  endpoint.ca_file = args.value("ca-file");
  if (!endpoint.ca_file.empty() && !fs::is_regular_file(endpoint.ca_file)) {
    throw PublishError("cannot read the CA file " + endpoint.ca_file);
  }
  if (args.has("upload-block-size")) {
    endpoint.block_size = parse_block_size(args.value("upload-block-size"));
  }
  return make_blob_store(endpoint);
}

// The --sign-key files, read before any work is done.
IndexSigning index_signing(const Arguments& args) {
  IndexSigning signing;
  for (const std::string& file : args.all("sign-key")) signing.keys.push_back(read_signing_key(file));
  if (args.has("valid-for")) {
    if (signing.keys.empty()) throw UsageError("--valid-for is for a signed index: give --sign-key");
    signing.valid_for_seconds = parse_validity(args.value("valid-for"));
  }
  return signing;
}

std::int64_t now() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string signing_summary(const nlohmann::json& index, std::size_t keys) {
  std::string text = "sequence " + std::to_string(index_sequence(index));
  if (keys > 0) {
    text += ", signed with " + std::to_string(keys) + " key(s), valid until " + json_text(index, index_key::kExpires);
  }
  return text;
}

std::string index_container(const std::string& product) {
  const std::string container = product + "-v2";
  const std::string problem = container_name_problem(container);
  if (!problem.empty()) {
    throw PublishError("the product identifier '" + product + "' does not make a container name (" + container +
                       " " + problem + ")");
  }
  return container;
}

std::string human_size(std::uint64_t bytes) {
  std::ostringstream text;
  text.precision(1);
  if (bytes >= (1u << 30)) {
    text << std::fixed << static_cast<double>(bytes) / (1u << 30) << " GiB";
  } else if (bytes >= (1u << 20)) {
    text << std::fixed << static_cast<double>(bytes) / (1u << 20) << " MiB";
  } else {
    text << bytes << " bytes";
  }
  return text.str();
}

TransferProgress transfer_progress(std::ostream& out, const std::string& what) {
  auto reported = std::make_shared<int>(-1);
  return [&out, what, reported](std::uint64_t done, std::uint64_t total) {
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (percent / 10 == *reported / 10) return;
    *reported = percent;
    out << "uploading " << what << ": " << percent << "% of " << human_size(total) << std::endl;
  };
}

// Uploads the archive and its list first and the index last, so the index
// never names objects that are not there yet.
void upload_release(Store& store, const std::string& product, const std::string& index_text,
                    const StoredIndex& previous, const std::vector<std::string>& signatures,
                    const ReleaseEntry& entry, const fs::path& archive, const std::string& block_list_text,
                    bool replace, std::ostream& out) {
  out << "storing in " << store.describe() << std::endl;
  store.prepare_container(entry.containername);
  store_release_files(store, entry, archive, block_list_text, replace, transfer_progress(out, entry.filename), out);
  const std::string index_box = index_container(product);
  store.prepare_container(index_box);
  store_index(store, index_box, index_text, previous, signatures, out);
}

// --- commands ---------------------------------------------------------------

int pack_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1, {{"start", true}, {"start-file", true}, {"help", false}});
  if (args.has("help")) {
    out << "usage: setuppublish pack SETUP_DIR OUT.zip --start LANG:BITNESS:COMMAND[:ARGS]... | --start-file FILE\n"
           "\n"
           "Packs every file below SETUP_DIR into the release archive OUT.zip: each\n"
           "distinct content once, named by its SHA-256 digest, with arcinfo.json (where\n"
           "each content goes) and arcconfig.json (the start commands). Links to files\n"
           "inside the folder are packed as those files; empty folders are not recorded.\n"
           "The same folder always gives the same bytes.\n\n"
        << kStartHelp;
    return 0;
  }
  if (args.positional.size() != 2) throw UsageError("pack needs SETUP_DIR and OUT.zip");
  PackOptions options;
  options.setup_folder = args.positional[0];
  options.output = args.positional[1];
  options.start_commands = start_commands(args);
  options.progress = [&out](const std::string& line) { out << line << std::endl; };
  const PackResult result = pack(options);
  out << "packed " << result.files << " files (" << result.contents << " distinct contents, "
      << human_size(result.input_bytes) << ") into " << options.output.string() << " ("
      << human_size(result.archive_bytes) << ")" << std::endl;
  out << "arcinfo sha256: " << result.arcinfo_sha256 << "\narcconfig sha256: " << result.arcconfig_sha256
      << std::endl;
  return 0;
}

int blocks_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1, {{"block-size", true}, {"output", true}, {"help", false}});
  if (args.has("help")) {
    out << "usage: setuppublish blocks ARCHIVE --block-size N [--output FILE]\n"
           "\n"
           "Writes the blockhash list of ARCHIVE (a JSON array with the MD5 digest of\n"
           "every block of N bytes; the last block may be shorter) to FILE, by default\n"
           "ARCHIVE with the extension .blockhash, and prints the archive's size and\n"
           "SHA-256 digest. N is a byte count such as 4194304, 4096K or 4M.\n";
    return 0;
  }
  if (args.positional.size() != 1) throw UsageError("blocks needs ARCHIVE");
  const fs::path archive = args.positional[0];
  const std::uint64_t block_size = parse_block_size(args.required("block-size"));
  fs::path output = args.value("output");
  if (output.empty()) output = fs::path(archive).replace_extension(".blockhash");
  const BlockList list = compute_block_list(archive, block_size);
  write_text_file(output, blockhash_list_text(list.md5));
  out << "size: " << list.size << "\nsha256: " << list.sha256 << "\nblocks: " << list.md5.size()
      << "\nblockhash list: " << output.string() << std::endl;
  return 0;
}

int index_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1,
                               with({{"version", true},
                                     {"key", true},
                                     {"release", true},
                                     {"container", true},
                                     {"filename", true},
                                     {"blockhash", true},
                                     {"blockhash-file", true},
                                     {"arcinfo-sha256", true},
                                     {"arcconfig-sha256", true},
                                     {"block-size", true},
                                     {"filesize", true},
                                     {"hash", true},
                                     {"required-setup", true},
                                     {"current", false},
                                     {"forbid-release-selection", false},
                                     {"allow-release-selection", false},
                                     {"help", false}},
                                    kSignOptions));
  if (args.has("help")) {
    out << "usage: setuppublish index INDEX.json --version VERSION --release TEXT\n"
           "           --container NAME --filename NAME --blockhash NAME --block-size N\n"
           "           --filesize BYTES --hash SHA256 [--blockhash-file FILE]\n"
           "           [--required-setup N] [--current]\n"
           "           [--forbid-release-selection | --allow-release-selection]\n"
           "           [--sign-key FILE... [--valid-for TIME]]\n"
           "\n"
           "Adds the release VERSION (a version text such as 4.2.1) to the release index\n"
           "INDEX.json, creating it when missing and replacing an entry of the same key,\n"
           "and raises the index's sequence. --current makes it the release offered\n"
           "first; a new index makes its first release current anyway.\n"
           "--forbid-release-selection offers only the current release,\n"
           "--allow-release-selection offers older ones again. --required-setup is the\n"
           "lowest launcher version that may install it (4). --blockhash-file is the\n"
           "release's blockhash list, whose SHA-256 the index records.\n"
           "--arcinfo-sha256 and --arcconfig-sha256 (both, as pack prints them) let\n"
           "launchers fetch only the contents an earlier release on the machine lacks.\n"
           "With --sign-key the signature goes to INDEX.json.sig, which upload sends\n"
           "along; every release then needs its blockhash list's digest (an index whose\n"
           "older releases lack it is signed with resign, against the store).\n"
           "Without it an INDEX.json.sig left from before is removed.\n\n"
        << kSignHelp;
    return 0;
  }
  if (args.has("key")) throw UsageError("the release's version is given with --version");
  if (args.positional.size() != 1) throw UsageError("index needs INDEX.json");
  const fs::path path = args.positional[0];
  const IndexSigning signing = index_signing(args);
  ReleaseEntry entry;
  entry.release = args.required("release");
  entry.containername = args.required("container");
  entry.filename = args.required("filename");
  entry.blockhash = args.required("blockhash");
  entry.blocksize = parse_block_size(args.required("block-size"));
  entry.filesize = parse_count("filesize", args.required("filesize"));
  entry.hash = args.required("hash");
  entry.required_setup = parse_count("required-setup", args.value("required-setup", "4"));
  if (args.has("blockhash-file")) {
    entry.blockhash_sha256 = hash_buffer(read_text_file(args.required("blockhash-file")), L"SHA256", true);
  }
  if (args.has("arcinfo-sha256") != args.has("arcconfig-sha256")) {
    throw UsageError("--arcinfo-sha256 and --arcconfig-sha256 go together");
  }
  entry.arcinfo_sha256 = args.value("arcinfo-sha256");
  entry.arcconfig_sha256 = args.value("arcconfig-sha256");
  std::error_code ec;
  const std::string existing = fs::exists(path, ec) ? read_text_file(path) : std::string();
  nlohmann::json index = parse_index(existing, path.string());
  for (const std::string& note : add_release(index, args.required("version"), entry, args.has("current"),
                                             release_selection(args))) {
    out << "note: " << note << std::endl;
  }
  const std::vector<std::string> lacking = releases_without_blockhash_digest(index);
  if (!signing.keys.empty() && !lacking.empty()) {
    std::string names;
    for (const std::string& key : lacking) names += (names.empty() ? "" : ", ") + key;
    throw PublishError("launchers that check the signature need the digest of every release's blockhash list, "
                       "which " + names + " lack: give this release's list with --blockhash-file, and sign an "
                       "index whose older releases lack it with setuppublish resign against the store");
  }
  renew_index(index, signing, now());
  const std::string text = index_text(index);
  fs::path signature_path = path;
  signature_path += ".sig";
  write_text_file(path, text);
  if (!signing.keys.empty()) {
    write_text_file(signature_path, index_signature_text(sign_index(text, signing.keys)));
  } else if (fs::remove(signature_path, ec)) {
    out << "note: removed " << signature_path.string() << ", which signed the index before this change" << std::endl;
  }
  out << "release " << args.value("version") << " written to " << path.string() << " ("
      << signing_summary(index, signing.keys.size()) << ")" << std::endl;
  return 0;
}

int upload_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1,
                               with({{"product", true},
                                     {"version", true},
                                     {"archive", true},
                                     {"blockhash-file", true},
                                     {"arcinfo-sha256", true},
                                     {"arcconfig-sha256", true},
                                     {"help", false},
                                     {"replace-index", false},
                                     {"replace", false}},
                                    kStoreOptions));
  if (args.has("help")) {
    out << "usage: setuppublish upload INDEX.json --product PRODUCT --version VERSION\n"
           "           --archive FILE --blockhash-file FILE [--replace-index] [--replace] STORE\n"
           "\n"
           "Stores the archive and its blockhash list under the container and names that\n"
           "INDEX.json gives for VERSION, then INDEX.json as PRODUCT-v2/index, with\n"
           "INDEX.json.sig (made by index --sign-key) as PRODUCT-v2/index.sig when it\n"
           "exists. An index in the store that holds releases INDEX.json lacks is only\n"
           "replaced with --replace-index; a signed one only by a signed INDEX.json of a\n"
           "higher sequence.\n\n"
        << kStoreHelp;
    return 0;
  }
  if (args.positional.size() != 1) throw UsageError("upload needs INDEX.json");
  const std::string product = args.required("product");
  const std::string version = args.required("version");
  const fs::path archive = args.required("archive");
  const fs::path block_list = args.required("blockhash-file");
  // The exact bytes: a signature covers them, not the JSON they spell.
  const std::string text = read_text_file(args.positional[0]);
  const nlohmann::json index = parse_index(text, args.positional[0]);
  const std::string index_box = index_container(product);
  if (!index.contains(index_key::kReleases) || !index[index_key::kReleases].contains(version)) {
    throw PublishError(args.positional[0] + " has no release " + version);
  }
  const ReleaseEntry entry = read_release_entry(index, version);
  check_release(version, entry);
  fs::path signature_path = args.positional[0];
  signature_path += ".sig";
  std::error_code ec;
  const bool signed_index = fs::exists(signature_path, ec);
  const std::vector<std::string> signatures =
      signed_index ? parse_index_signature(read_text_file(signature_path)) : std::vector<std::string>();
  if (signed_index && signatures.empty()) {
    throw PublishError(signature_path.string() + " holds no signature line");
  }

  // Checks that the files are the ones the index describes: the launcher
  // would refuse anything else.
  const std::uint64_t size = fs::file_size(archive, ec);
  if (ec) throw PublishError("cannot read " + archive.string() + ": " + ec.message());
  if (size != entry.filesize) {
    throw PublishError(archive.string() + " has " + std::to_string(size) + " bytes, the index says " +
                       std::to_string(entry.filesize));
  }
  const std::string list_text = read_text_file(block_list);
  const auto digests = parse_blockhash_list(list_text);
  if (!digests || digests->size() != block_count(entry.filesize, entry.blocksize) ||
      (!entry.blockhash_sha256.empty() && hash_buffer(list_text, L"SHA256", true) != entry.blockhash_sha256)) {
    throw PublishError(block_list.string() + " is not the blockhash list of " + archive.string() +
                       " that the index describes");
  }
  if (sha256_file_hex(archive.wstring()) != entry.hash) {
    throw PublishError(archive.string() + " does not have the SHA-256 the index gives for release " + version);
  }

  const std::unique_ptr<Store> store = open_store(args);
  const StoredIndex previous = read_stored_index(*store, index_box, !signatures.empty());
  if (previous.index && !args.has("replace-index")) {
    const nlohmann::json stored = parse_index(previous.index->text, "in the store");
    if (stored.contains(index_key::kReleases)) {
      for (const auto& [key, value] : stored[index_key::kReleases].items()) {
        (void)value;
        if (!index[index_key::kReleases].contains(key)) {
          throw PublishError("the index in the store has release " + key + ", which " + args.positional[0] +
                             " lacks; add the new release to the stored index, or pass --replace-index");
        }
      }
    }
  }
  if (previous.index && !signatures.empty()) {
    const std::uint64_t stored_sequence = index_sequence(parse_index(previous.index->text, "in the store"));
    if (index_sequence(index) <= stored_sequence) {
      throw PublishError("the index in the store has the sequence " + std::to_string(stored_sequence) + " and " +
                         args.positional[0] + " not a higher one: launchers that saw the stored index would "
                         "refuse it; make INDEX.json from the stored index");
    }
  }
  upload_release(*store, product, text, previous, signatures, entry, archive, list_text, args.has("replace"), out);
  return 0;
}

int publish_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1,
                               with(with({{"product", true},
                                          {"version", true},
                                          {"release", true},
                                          {"current", false},
                                          {"block-size", true},
                                          {"required-setup", true},
                                          {"start", true},
                                          {"start-file", true},
                                          {"container", true},
                                          {"filename", true},
                                          {"work-dir", true},
                                          {"forbid-release-selection", false},
                                          {"allow-release-selection", false},
                                          {"replace", false},
                                          {"help", false}},
                                         kStoreOptions),
                                    kSignOptions));
  if (args.has("help")) {
    out << "usage: setuppublish publish SETUP_DIR --product PRODUCT --version VERSION\n"
           "           --release TEXT [--current] [--block-size N] [--required-setup N]\n"
           "           [--container NAME] [--filename NAME] [--work-dir DIR]\n"
           "           [--forbid-release-selection | --allow-release-selection]\n"
           "           [--sign-key FILE... [--valid-for TIME]] [--replace]\n"
           "           START STORE\n"
           "\n"
           "Packs SETUP_DIR, writes the blockhash list, adds the release to the product's\n"
           "index as it is in the store (earlier releases stay, the sequence rises) and\n"
           "uploads all three. The archive goes to the container PRODUCT-VERSION (made\n"
           "container-safe) as PRODUCT-VERSION.zip with its list PRODUCT-VERSION.blockhash;\n"
           "the archive and list stay in --work-dir (default: the current folder).\n"
           "--block-size defaults to 4M, --required-setup to 4. Signing an index whose\n"
           "earlier releases lack their blockhash list's digest fetches those lists once.\n\n"
        << kStartHelp << "\n"
        << kStoreHelp << "\n"
        << kSignHelp;
    return 0;
  }
  if (args.positional.size() != 1) throw UsageError("publish needs SETUP_DIR");
  const fs::path setup_folder = args.positional[0];
  const std::string product = args.required("product");
  const std::string version = args.required("version");
  const std::string index_box = index_container(product);

  ReleaseEntry entry;
  entry.release = args.required("release");
  entry.blocksize = parse_block_size(args.value("block-size", "4M"));
  entry.required_setup = parse_count("required-setup", args.value("required-setup", "4"));
  entry.containername = args.value("container", container_safe(product + "-" + version));
  entry.filename = args.value("filename", product + "-" + version + ".zip");
  entry.blockhash = fs::path(entry.filename).stem().string() + ".blockhash";
  entry.hash = std::string(64, '0');
  check_release(version, entry);  // every name, before any work is done
  const ReleaseSelection selection = release_selection(args);
  const std::vector<StartCommand> commands = start_commands(args);
  const IndexSigning signing = index_signing(args);

  const std::unique_ptr<Store> store = open_store(args);
  out << "reading the release index from " << store->describe() << std::endl;
  const StoredIndex previous = read_stored_index(*store, index_box, !signing.keys.empty());
  nlohmann::json index = parse_index(previous.index ? previous.index->text : std::string(), "in the store");
  if (!previous.index) out << "no release index yet; a new one is made" << std::endl;

  const fs::path work = args.value("work-dir", ".");
  std::error_code ec;
  fs::create_directories(work, ec);
  PackOptions pack_options;
  pack_options.setup_folder = setup_folder;
  pack_options.output = work / entry.filename;
  pack_options.start_commands = commands;
  pack_options.progress = [&out](const std::string& line) { out << line << std::endl; };
  const PackResult packed = pack(pack_options);
  out << "packed " << packed.files << " files (" << packed.contents << " distinct contents) into "
      << pack_options.output.string() << " (" << human_size(packed.archive_bytes) << ")" << std::endl;

  const BlockList list = compute_block_list(pack_options.output, entry.blocksize, [&out](int percent) {
    out << "block digests: " << percent << "%" << std::endl;
  });
  const fs::path list_path = work / entry.blockhash;
  const std::string list_text = blockhash_list_text(list.md5);
  write_text_file(list_path, list_text);
  entry.filesize = list.size;
  entry.hash = list.sha256;
  entry.blockhash_sha256 = hash_buffer(list_text, L"SHA256", true);
  entry.arcinfo_sha256 = packed.arcinfo_sha256;
  entry.arcconfig_sha256 = packed.arcconfig_sha256;
  out << "archive sha256 " << list.sha256 << ", " << list.md5.size() << " blocks" << std::endl;

  std::vector<std::string> notes = add_release(index, version, entry, args.has("current"), selection);
  if (!signing.keys.empty()) {
    const std::vector<std::string> added = add_blockhash_digests(index, *store);
    notes.insert(notes.end(), added.begin(), added.end());
  }
  for (const std::string& note : notes) out << "note: " << note << std::endl;
  renew_index(index, signing, now());
  const std::string text = index_text(index);
  upload_release(*store, product, text, previous, sign_index(text, signing.keys), entry, pack_options.output,
                 list_text, args.has("replace"), out);
  out << "published " << product << " " << version << " (" << entry.release << ")"
      << (index[index_key::kCurrentRelease] == version ? " as the current release" : "") << "; "
      << signing_summary(index, signing.keys.size()) << std::endl;
  return 0;
}

int resign_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1, with(with({{"product", true}, {"help", false}}, kStoreOptions), kSignOptions));
  if (args.has("help")) {
    out << "usage: setuppublish resign --product PRODUCT --sign-key FILE... [--valid-for TIME]\n"
           "           STORE\n"
           "\n"
           "Signs the product's index in the store again with a higher sequence and a new\n"
           "expiry date, releases unchanged: run it from a scheduled job well within\n"
           "--valid-for, or launchers that check the signature refuse the index once it\n"
           "expires. Also signs an index that was never signed (releases lacking their\n"
           "blockhash list's digest get it from the store).\n\n"
        << kStoreHelp << "\n"
        << kSignHelp;
    return 0;
  }
  if (!args.positional.empty()) throw UsageError("resign takes no " + args.positional[0]);
  const std::string product = args.required("product");
  const std::string index_box = index_container(product);
  const IndexSigning signing = index_signing(args);
  if (signing.keys.empty()) throw UsageError("missing --sign-key");
  const std::unique_ptr<Store> store = open_store(args);
  const StoredIndex previous = read_stored_index(*store, index_box, true);
  if (!previous.index) throw PublishError("the store has no release index of " + product);
  nlohmann::json index = parse_index(previous.index->text, "in the store");
  for (const std::string& note : add_blockhash_digests(index, *store)) out << "note: " << note << std::endl;
  renew_index(index, signing, now());
  const std::string text = index_text(index);
  store_index(*store, index_box, text, previous, sign_index(text, signing.keys), out);
  out << "re-signed the release index of " << product << "; " << signing_summary(index, signing.keys.size())
      << std::endl;
  return 0;
}

int keygen_command(const std::vector<std::string>& argv, std::ostream& out) {
  const Arguments args = parse(argv, 1, {{"out", true}, {"help", false}});
  if (args.has("help")) {
    out << "usage: setuppublish keygen --out DIR\n"
           "\n"
           "Makes a P-256 key pair for signing release indexes: DIR/index-signing.key\n"
           "(the private key, PKCS#8 PEM, mode 600; for --sign-key) and\n"
           "DIR/index-signing.pub (the public key, for the launcher's LAUNCHER_INDEX_KEYS).\n"
           "Existing files are never overwritten. Keep the private key off the machines\n"
           "that hold the store's account key.\n";
    return 0;
  }
  if (!args.positional.empty()) throw UsageError("keygen takes no " + args.positional[0]);
  const fs::path folder = args.required("out");
  const fs::path private_path = folder / "index-signing.key";
  const fs::path public_path = folder / "index-signing.pub";
  std::error_code ec;
  fs::create_directories(folder, ec);
  for (const fs::path& path : {private_path, public_path}) {
    if (fs::exists(path, ec)) throw PublishError(path.string() + " exists; a key is never overwritten");
  }
  const KeyPair pair = generate_key_pair();
  write_private_file(private_path, pair.private_key);
  write_text_file(public_path, pair.public_key);
  out << "private key: " << private_path.string() << " (for --sign-key; keep it secret)\n"
      << "public key:  " << public_path.string() << " (for LAUNCHER_INDEX_KEYS)" << std::endl;
  return 0;
}

}  // namespace

int run_command_line(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  static const std::map<std::string, std::function<int(const std::vector<std::string>&, std::ostream&)>> commands =
      {{"pack", pack_command},
       {"blocks", blocks_command},
       {"index", index_command},
       {"upload", upload_command},
       {"publish", publish_command},
       {"resign", resign_command},
       {"keygen", keygen_command}};
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? err : out) << kMainHelp;
    return args.empty() ? 2 : 0;
  }
  const auto command = commands.find(args[0]);
  if (command == commands.end()) {
    err << "setuppublish: unknown command '" << args[0] << "'\n" << kMainHelp;
    return 2;
  }
  try {
    return command->second(args, out);
  } catch (const UsageError& error) {
    err << "setuppublish " << args[0] << ": " << error.what() << "\n(see setuppublish " << args[0] << " --help)"
        << std::endl;
    return 2;
  } catch (const PublishError& error) {
    err << "setuppublish " << args[0] << ": error: " << error.what() << std::endl;
    return 1;
  } catch (const std::exception& error) {
    err << "setuppublish " << args[0] << ": error: " << error.what() << std::endl;
    return 1;
  }
}

}  // namespace publisher
