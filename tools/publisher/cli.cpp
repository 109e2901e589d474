#include "cli.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "blocks.h"
#include "formats/blockhash_list.h"
#include "names.h"
#include "pack.h"
#include "publish_error.h"
#include "release_index.h"
#include "store.h"

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
    "  --key KEY           its access key (Base64); default: $SETUPPUBLISH_KEY\n"
    "  --endpoint URL      https address of the blob service\n"
    "                      (default https://NAME.blob.core.windows.net)\n"
    "  --ca-file FILE      trust the certificate authorities in FILE instead of the\n"
    "                      system's\n"
    "  --upload-block-size N  archives above N bytes go up in blocks of N (default 8M)\n";

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

const std::vector<Option> kStoreOptions = {{"to-folder", true}, {"account", true}, {"key", true},
                                           {"endpoint", true},  {"ca-file", true}, {"upload-block-size", true}};

std::unique_ptr<Store> open_store(const Arguments& args) {
  const bool remote = args.has("account") || args.has("endpoint") || args.has("key");
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
  endpoint.key = args.value("key");
  if (endpoint.key.empty() && std::getenv("SETUPPUBLISH_KEY")) endpoint.key = std::getenv("SETUPPUBLISH_KEY");
  if (endpoint.key.empty()) throw UsageError("no account key: give --key or set SETUPPUBLISH_KEY");
  endpoint.ca_file = args.value("ca-file");
  if (!endpoint.ca_file.empty() && !fs::is_regular_file(endpoint.ca_file)) {
    throw PublishError("cannot read the CA file " + endpoint.ca_file);
  }
  if (args.has("upload-block-size")) {
    endpoint.block_size = parse_block_size(args.value("upload-block-size"));
  }
  return make_blob_store(endpoint);
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
void upload_release(Store& store, const std::string& product, const nlohmann::json& index,
                    const std::optional<StoredText>& previous, const ReleaseEntry& entry, const fs::path& archive,
                    const fs::path& block_list, std::ostream& out) {
  const std::string index_box = index_container(product);
  out << "storing in " << store.describe() << std::endl;
  store.prepare_container(entry.containername);
  store.write_file(entry.containername, entry.filename, archive, "application/zip",
                   transfer_progress(out, entry.filename));
  store.write_text(entry.containername, entry.blockhash, read_text_file(block_list), "application/json", nullptr);
  out << "uploaded " << entry.containername << "/" << entry.filename << " and " << entry.containername << "/"
      << entry.blockhash << std::endl;
  store.prepare_container(index_box);
  store.write_text(index_box, "index", index_text(index), "application/json", &previous);
  out << "uploaded " << index_box << "/index" << std::endl;
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
                               {{"key", true},
                                {"release", true},
                                {"container", true},
                                {"filename", true},
                                {"blockhash", true},
                                {"block-size", true},
                                {"filesize", true},
                                {"hash", true},
                                {"required-setup", true},
                                {"current", false},
                                {"forbid-release-selection", false},
                                {"allow-release-selection", false},
                                {"help", false}});
  if (args.has("help")) {
    out << "usage: setuppublish index INDEX.json --key VERSION --release TEXT\n"
           "           --container NAME --filename NAME --blockhash NAME --block-size N\n"
           "           --filesize BYTES --hash SHA256 [--required-setup N] [--current]\n"
           "           [--forbid-release-selection | --allow-release-selection]\n"
           "\n"
           "Adds the release VERSION (a version text such as 4.2.1) to the release index\n"
           "INDEX.json, creating it when missing and replacing an entry of the same key.\n"
           "--current makes it the release offered first; a new index makes its first\n"
           "release current anyway. --forbid-release-selection offers only the current\n"
           "release, --allow-release-selection offers older ones again.\n"
           "--required-setup is the lowest launcher version that may install it (4).\n";
    return 0;
  }
  if (args.positional.size() != 1) throw UsageError("index needs INDEX.json");
  const fs::path path = args.positional[0];
  ReleaseEntry entry;
  entry.release = args.required("release");
  entry.containername = args.required("container");
  entry.filename = args.required("filename");
  entry.blockhash = args.required("blockhash");
  entry.blocksize = parse_block_size(args.required("block-size"));
  entry.filesize = parse_count("filesize", args.required("filesize"));
  entry.hash = args.required("hash");
  entry.required_setup = parse_count("required-setup", args.value("required-setup", "4"));
  std::error_code ec;
  const std::string existing = fs::exists(path, ec) ? read_text_file(path) : std::string();
  nlohmann::json index = parse_index(existing, path.string());
  for (const std::string& note : add_release(index, args.required("key"), entry, args.has("current"),
                                             release_selection(args))) {
    out << "note: " << note << std::endl;
  }
  write_text_file(path, index_text(index));
  out << "release " << args.value("key") << " written to " << path.string() << std::endl;
  return 0;
}

int upload_command(const std::vector<std::string>& argv, std::ostream& out) {
  std::vector<Option> options = {{"product", true},        {"version", true}, {"archive", true},
                                 {"blockhash-file", true}, {"help", false},   {"replace-index", false}};
  options.insert(options.end(), kStoreOptions.begin(), kStoreOptions.end());
  const Arguments args = parse(argv, 1, options);
  if (args.has("help")) {
    out << "usage: setuppublish upload INDEX.json --product PRODUCT --version VERSION\n"
           "           --archive FILE --blockhash-file FILE [--replace-index] STORE\n"
           "\n"
           "Stores the archive and its blockhash list under the container and names that\n"
           "INDEX.json gives for VERSION, then INDEX.json as PRODUCT-v2/index. An index in\n"
           "the store that holds releases INDEX.json lacks is only replaced with\n"
           "--replace-index.\n\n"
        << kStoreHelp;
    return 0;
  }
  if (args.positional.size() != 1) throw UsageError("upload needs INDEX.json");
  const std::string product = args.required("product");
  const std::string version = args.required("version");
  const fs::path archive = args.required("archive");
  const fs::path block_list = args.required("blockhash-file");
  const nlohmann::json index = parse_index(read_text_file(args.positional[0]), args.positional[0]);
  const std::string index_box = index_container(product);
  if (!index.contains(index_key::kReleases) || !index[index_key::kReleases].contains(version)) {
    throw PublishError(args.positional[0] + " has no release " + version);
  }
  const ReleaseEntry entry = read_release_entry(index, version);
  check_release(version, entry);

  // Cheap checks that the files are the ones the index describes.
  std::error_code ec;
  const std::uint64_t size = fs::file_size(archive, ec);
  if (ec) throw PublishError("cannot read " + archive.string() + ": " + ec.message());
  if (size != entry.filesize) {
    throw PublishError(archive.string() + " has " + std::to_string(size) + " bytes, the index says " +
                       std::to_string(entry.filesize));
  }
  const auto digests = parse_blockhash_list(read_text_file(block_list));
  if (!digests || digests->size() != block_count(entry.filesize, entry.blocksize)) {
    throw PublishError(block_list.string() + " is not the blockhash list of " + archive.string() +
                       " for the block size " + std::to_string(entry.blocksize));
  }

  const std::unique_ptr<Store> store = open_store(args);
  const std::optional<StoredText> previous = store->read_text(index_box, "index");
  if (previous && !args.has("replace-index")) {
    const nlohmann::json stored = parse_index(previous->text, "in the store");
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
  upload_release(*store, product, index, previous, entry, archive, block_list, out);
  return 0;
}

int publish_command(const std::vector<std::string>& argv, std::ostream& out) {
  std::vector<Option> options = {{"product", true},
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
                                 {"help", false}};
  options.insert(options.end(), kStoreOptions.begin(), kStoreOptions.end());
  const Arguments args = parse(argv, 1, options);
  if (args.has("help")) {
    out << "usage: setuppublish publish SETUP_DIR --product PRODUCT --version VERSION\n"
           "           --release TEXT [--current] [--block-size N] [--required-setup N]\n"
           "           [--container NAME] [--filename NAME] [--work-dir DIR]\n"
           "           [--forbid-release-selection | --allow-release-selection]\n"
           "           START STORE\n"
           "\n"
           "Packs SETUP_DIR, writes the blockhash list, adds the release to the product's\n"
           "index as it is in the store (earlier releases stay) and uploads all three.\n"
           "The archive goes to the container PRODUCT-VERSION (made container-safe) as\n"
           "PRODUCT-VERSION.zip with its list PRODUCT-VERSION.blockhash; the archive and\n"
           "list stay in --work-dir (default: the current folder).\n"
           "--block-size defaults to 4M, --required-setup to 4.\n\n"
        << kStartHelp << "\n"
        << kStoreHelp;
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

  const std::unique_ptr<Store> store = open_store(args);
  out << "reading the release index from " << store->describe() << std::endl;
  const std::optional<StoredText> previous = store->read_text(index_box, "index");
  nlohmann::json index = parse_index(previous ? previous->text : std::string(), "in the store");
  if (!previous) out << "no release index yet; a new one is made" << std::endl;

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
  write_text_file(list_path, blockhash_list_text(list.md5));
  entry.filesize = list.size;
  entry.hash = list.sha256;
  out << "archive sha256 " << list.sha256 << ", " << list.md5.size() << " blocks" << std::endl;

  for (const std::string& note : add_release(index, version, entry, args.has("current"), selection)) {
    out << "note: " << note << std::endl;
  }
  upload_release(*store, product, index, previous, entry, pack_options.output, list_path, out);
  out << "published " << product << " " << version << " (" << entry.release << ")"
      << (index[index_key::kCurrentRelease] == version ? " as the current release" : "") << std::endl;
  return 0;
}

}  // namespace

int run_command_line(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  static const std::map<std::string, std::function<int(const std::vector<std::string>&, std::ostream&)>> commands =
      {{"pack", pack_command},
       {"blocks", blocks_command},
       {"index", index_command},
       {"upload", upload_command},
       {"publish", publish_command}};
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
