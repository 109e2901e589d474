#include "pack.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "file.h"
#include "publish_error.h"
#include "support/hashing.h"
#include "support/names.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace publisher {

namespace {

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

void check_start_command(const StartCommand& command) {
  static const std::set<std::string> languages = {"de", "en", "*"};
  static const std::set<std::string> bitnesses = {"x64", "x86", "*"};
  if (!languages.count(command.language)) {
    throw PublishError("start command language '" + command.language + "' is not one of de, en, *");
  }
  if (!bitnesses.count(command.bitness)) {
    throw PublishError("start command bitness '" + command.bitness + "' is not one of x64, x86, *");
  }
  if (command.command.empty()) throw PublishError("start command names no file");
}

struct Content {
  std::uint64_t size = 0;
  std::uint32_t mode = 0;
  std::uint32_t crc = 0;
  fs::path source;
  std::vector<std::string> dst;
};

// SHA-256 and CRC-32 of a file in one reading; the CRC lets the writing pass
// notice a file that changed after its digest was taken.
void digest_file(const SourceFile& file, std::string& sha256, std::uint32_t& crc, std::vector<char>& buffer) {
  File in(file.path, File::Mode::read);
  HashObject hash(L"SHA256");
  crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t n = in.read(buffer.data(), buffer.size());
    if (n == 0) break;
    hash.add(buffer.data(), n);
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n)));
    total += n;
  }
  if (total != file.size) throw PublishError(file.path.string() + " changed while it was read");
  sha256 = hash.finish(true);
  if (sha256.size() != 64) throw PublishError("cannot compute the SHA-256 digest of " + file.path.string());
}

bool inside(const fs::path& path, const fs::path& root) {
  const fs::path relative = path.lexically_relative(root);
  return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

}  // namespace

StartCommand parse_start_command(const std::string& text) {
  // The arguments come last so that they may hold colons themselves.
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) {
    throw PublishError("start command '" + text + "' is not LANGUAGE:BITNESS:COMMAND[:ARGUMENTS]");
  }
  const std::size_t third = text.find(':', second + 1);
  StartCommand command;
  command.language = text.substr(0, first);
  command.bitness = text.substr(first + 1, second - first - 1);
  command.command = text.substr(second + 1, third == std::string::npos ? third : third - second - 1);
  if (third != std::string::npos) command.arguments = text.substr(third + 1);
  check_start_command(command);
  return command;
}

std::vector<StartCommand> parse_start_file(const std::string& text) {
  std::vector<StartCommand> commands;
  const std::string body = trim(text);
  if (!body.empty() && (body[0] == '{' || body[0] == '[')) {
    const nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_discarded()) throw PublishError("the start command file is not valid JSON");
    const nlohmann::json& list = document.is_object() && document.contains("startCommands")
                                     ? document["startCommands"]
                                     : document;
    if (!list.is_array()) throw PublishError("the start command file holds no \"startCommands\" array");
    for (const auto& element : list) {
      if (!element.is_object()) throw PublishError("a start command in the file is not an object");
      StartCommand command;
      const std::pair<const char*, std::string*> keys[] = {{"language", &command.language},
                                                           {"bitness", &command.bitness},
                                                           {"command", &command.command},
                                                           {"arguments", &command.arguments}};
      for (const auto& [key, field] : keys) {
        if (!element.contains(key)) continue;
        if (!element[key].is_string()) throw PublishError(std::string("start command \"") + key + "\" is not a text");
        *field = element[key].get<std::string>();
      }
      check_start_command(command);
      commands.push_back(command);
    }
    return commands;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim(text.substr(start, end - start));
    if (!line.empty() && line[0] != '#') commands.push_back(parse_start_command(line));
    start = end + 1;
  }
  return commands;
}

std::vector<SourceFile> scan_setup_folder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) throw PublishError("setup folder " + folder.string() + " does not exist");
  if (!fs::is_directory(folder, ec)) throw PublishError(folder.string() + " is not a folder");
  const fs::path root = fs::canonical(folder, ec);
  if (ec) throw PublishError("cannot read setup folder " + folder.string() + ": " + ec.message());

  std::vector<SourceFile> files;
  std::map<std::string, std::string> folded;  // lower-case destination -> destination
  std::set<std::string> folded_folders;
  try {
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
      const fs::path& path = it->path();
      const fs::path relative = path.lexically_relative(root);
      std::string dst;
      for (const fs::path& part : relative) {
        const std::string name = part.string();
        const std::string problem = windows_name_problem(name);
        if (!problem.empty()) throw PublishError("the name of " + path.string() + " " + problem);
        dst += (dst.empty() ? "" : "\\") + name;
      }
      const fs::file_status status = it->symlink_status();
      fs::path source = path;
      if (fs::is_symlink(status)) {
        const fs::path target = fs::canonical(path, ec);
        if (ec) throw PublishError("the link " + path.string() + " points to nothing");
        if (!inside(target, root) && target != root) throw PublishError("the link " + path.string() + " points outside the setup folder");
        if (!fs::is_regular_file(target)) {
          throw PublishError("the link " + path.string() + " does not point to a file (links to folders are not packed)");
        }
        source = target;
      } else if (fs::is_directory(status)) {
        folded_folders.insert(ascii_lower(dst));
        continue;
      } else if (!fs::is_regular_file(status)) {
        throw PublishError(path.string() + " is neither a file nor a folder");
      }
      struct stat info {};
      if (::stat(source.c_str(), &info) != 0) {
        throw PublishError("cannot read " + path.string() + ": " + std::strerror(errno));
      }
      // Windows folds letter case: two names that differ only in case would
      // overwrite each other in the setup folder.
      const auto [other, fresh] = folded.emplace(ascii_lower(dst), dst);
      if (!fresh) throw PublishError(dst + " and " + other->second + " differ only in letter case");
      files.push_back({dst, source, static_cast<std::uint64_t>(info.st_size), static_cast<std::uint32_t>(info.st_mode)});
    }
  } catch (const fs::filesystem_error& error) {
    throw PublishError("cannot read " + error.path1().string() + ": " + error.code().message());
  }
  for (const std::string& folder_name : folded_folders) {
    if (folded.count(folder_name)) {
      throw PublishError(folded[folder_name] + " is a file and, in other letter case, a folder");
    }
  }
  std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.dst < b.dst; });
  return files;
}

void check_arcinfo_limits(std::size_t destinations, std::uint64_t text_size) {
  if (destinations > kMaxArcInfoDestinations) {
    throw PublishError("the setup folder holds " + std::to_string(destinations) + " files; a launcher takes at most " +
                       std::to_string(kMaxArcInfoDestinations));
  }
  if (text_size > kMaxManifestSize) {
    throw PublishError(std::string(kArcInfoMember) + " would take " + std::to_string(text_size) +
                       " bytes; a launcher reads at most " + std::to_string(kMaxManifestSize));
  }
}

PackResult pack(const PackOptions& options) {
  const Progress progress = options.progress ? options.progress : [](const std::string&) {};
  if (options.start_commands.empty()) {
    throw PublishError("no start command given: the archive must name the setup program to start");
  }

  // The archive must not land inside the folder it is made of.
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(options.setup_folder, ec);
  const fs::path output = fs::weakly_canonical(fs::absolute(options.output), ec);
  if (!root.empty() && (inside(output, root) || output == root)) {
    throw PublishError("the archive " + options.output.string() + " must not be written into the setup folder");
  }

  progress("scanning " + options.setup_folder.string());
  const std::vector<SourceFile> files = scan_setup_folder(options.setup_folder);
  check_arcinfo_limits(files.size(), 0);  // before any file is read

  std::set<std::string> destinations;
  for (const SourceFile& file : files) destinations.insert(file.dst);
  for (const StartCommand& command : options.start_commands) {
    const std::string wanted = backslashed(command.command);
    if (!destinations.count(wanted)) {
      throw PublishError("start command " + command.command + " names a file the setup folder does not have");
    }
  }

  PackResult result;
  result.files = files.size();
  std::map<std::string, Content> contents;  // by digest
  std::vector<const std::string*> member_order;  // by first destination, as the files come
  std::vector<char> buffer(1 << 20);
  std::uint64_t total = 0;
  for (const SourceFile& file : files) total += file.size;
  std::uint64_t done = 0;
  int reported = -1;
  for (const SourceFile& file : files) {
    std::string digest;
    std::uint32_t crc = 0;
    digest_file(file, digest, crc, buffer);
    const auto [place, fresh] = contents.try_emplace(digest);
    Content& content = place->second;
    if (fresh) member_order.push_back(&place->first);
    if (content.dst.empty()) {
      content.size = file.size;
      content.crc = crc;
      content.source = file.path;
    }
    // One member carries one mode: a content that is executable anywhere is
    // executable everywhere, so no setup program loses its bit.
    content.mode |= recorded_mode(file.mode);
    content.dst.push_back(file.dst);
    done += file.size;
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (percent / 10 != reported / 10) {
      reported = percent;
      progress("hashing: " + std::to_string(percent) + "% of " + std::to_string(files.size()) + " files");
    }
  }
  result.input_bytes = total;
  result.contents = contents.size();

  std::vector<ArcInfoEntry> arcinfo;
  for (const std::string* digest : member_order) arcinfo.push_back({*digest, contents[*digest].dst});
  const std::string arcinfo_json = arcinfo_text(arcinfo);
  check_arcinfo_limits(files.size(), arcinfo_json.size());
  std::vector<StartCommand> commands = options.start_commands;
  for (StartCommand& command : commands) command.command = backslashed(command.command);
  const std::string arcconfig_json = arcconfig_text(commands);
  result.arcinfo_sha256 = hash_buffer(arcinfo_json, L"SHA256", true);
  result.arcconfig_sha256 = hash_buffer(arcconfig_json, L"SHA256", true);

  fs::path partial = options.output;
  partial += ".part";
  try {
    ZipWriter writer(partial, options.limits);
    writer.add_bytes(kArcInfoMember, arcinfo_json, 0644);
    writer.add_bytes(kArcConfigMember, arcconfig_json, 0644);
    std::size_t written = 0;
    reported = -1;
    done = 0;
    for (const std::string* digest : member_order) {
      const Content& content = contents[*digest];
      const std::uint32_t crc = writer.add_file(*digest, content.source, content.size, content.mode);
      if (crc != content.crc) throw PublishError(content.source.string() + " changed while it was packed");
      ++written;
      done += content.size;
      const int percent = total ? static_cast<int>(done * 100 / total) : 100;
      if (percent / 10 != reported / 10) {
        reported = percent;
        progress("writing archive: " + std::to_string(percent) + "% (" + std::to_string(written) + " of " +
                 std::to_string(contents.size()) + " contents)");
      }
    }
    writer.finish();
    result.archive_bytes = writer.size();
    fs::rename(partial, options.output);
  } catch (const fs::filesystem_error& error) {
    fs::remove(partial, ec);
    throw PublishError("cannot write " + options.output.string() + ": " + error.code().message());
  } catch (...) {
    fs::remove(partial, ec);
    throw;
  }
  return result;
}

}  // namespace publisher
