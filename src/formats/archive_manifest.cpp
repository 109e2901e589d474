#include "formats/archive_manifest.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "formats/release_index.h"

using nlohmann::json;

namespace {
constexpr char kHash[] = "hash";
constexpr char kDestinations[] = "dst";
constexpr char kStartCommands[] = "startCommands";
// Each field of a start command once, for reading and writing alike.
const std::pair<const char*, std::string StartCommand::*> kCommandFields[] = {
    {"language", &StartCommand::language},
    {"bitness", &StartCommand::bitness},
    {"command", &StartCommand::command},
    {"arguments", &StartCommand::arguments}};
}  // namespace

namespace {

// Reads "arcinfo.json" event by event (nlohmann's SAX interface) into its
// entries, stopping as soon as a limit is passed; a document tree of a
// 128 MiB text could take gigabytes. Depth counts the containers open
// around a value: the list is 1, an element 2, its destination list 3.
class ArcInfoReader {
 public:
  std::vector<ArcInfoEntry> entries;
  bool over_limit = false;
  bool is_list = false;

  bool null() { return value(nullptr, false, false); }
  bool boolean(bool) { return value(nullptr, false, false); }
  bool number_integer(json::number_integer_t) { return value(nullptr, false, false); }
  bool number_unsigned(json::number_unsigned_t) { return value(nullptr, false, false); }
  bool number_float(json::number_float_t, const std::string&) { return value(nullptr, false, false); }
  bool string(std::string& text) { return value(&text, false, false); }
  bool binary(json::binary_t&) { return value(nullptr, false, false); }
  bool start_object(std::size_t) { return open(value(nullptr, true, false)); }
  bool start_array(std::size_t) { return open(value(nullptr, false, true)); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& name) {
    if (depth_ == 2 && in_element_) key_ = std::move(name);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  // A value that starts at the current depth; false stops the reading.
  bool value(std::string* text, bool is_object, bool is_array) {
    if (depth_ == 0) {
      is_list = is_array;  // anything but a list holds no entries
      return is_list;
    }
    if (depth_ == 1) {
      if (entries.size() == kMaxArcInfoEntries) return stop_over_limit();
      entries.emplace_back();
      in_element_ = is_object;
    } else if (depth_ == 2 && in_element_) {
      ArcInfoEntry& entry = entries.back();
      if (key_ == kHash) entry.hash = text ? std::move(*text) : std::string();
      if (key_ == kDestinations) {
        destinations_ -= entry.dst.size();
        entry.dst.clear();
        in_destinations_ = is_array;
      }
    } else if (depth_ == 3 && in_destinations_ && text) {
      if (destinations_ == kMaxArcInfoDestinations) return stop_over_limit();
      entries.back().dst.push_back(std::move(*text));
      ++destinations_;
    }
    return true;
  }

  bool open(bool go_on) {
    ++depth_;
    return go_on;
  }

  bool stop_over_limit() {
    over_limit = true;
    return false;
  }

  bool close() {
    --depth_;
    if (depth_ == 2) in_destinations_ = false;
    if (depth_ == 1) in_element_ = false;
    return true;
  }

  std::size_t depth_ = 0;
  bool in_element_ = false;       // the element being read is an object
  bool in_destinations_ = false;  // the container open at depth 3 is its "dst" list
  std::string key_;
  std::size_t destinations_ = 0;
};

}  // namespace

std::optional<std::vector<ArcInfoEntry>> parse_arcinfo(const std::string& text) {
  ArcInfoReader reader;
  const bool complete = json::sax_parse(text, &reader);
  if (reader.over_limit) return std::nullopt;
  if (!complete || !reader.is_list) return std::vector<ArcInfoEntry>();
  return std::move(reader.entries);
}

std::string arcinfo_text(const std::vector<ArcInfoEntry>& entries) {
  json document = json::array();
  for (const ArcInfoEntry& entry : entries) document.push_back({{kHash, entry.hash}, {kDestinations, entry.dst}});
  return document.dump(1);
}

std::vector<StartCommand> parse_arcconfig(const std::string& text) {
  std::vector<StartCommand> commands;
  const json document = parse_json(text);
  if (!document.is_object()) return commands;
  const auto list = document.find(kStartCommands);
  if (list == document.end() || !list->is_array()) return commands;
  for (const auto& element : *list) {
    StartCommand command;
    for (const auto& [name, field] : kCommandFields) command.*field = json_text(element, name);
    commands.push_back(std::move(command));
  }
  return commands;
}

std::string arcconfig_text(const std::vector<StartCommand>& commands) {
  json list = json::array();
  for (const StartCommand& command : commands) {
    json element = json::object();
    for (const auto& [name, field] : kCommandFields) element[name] = command.*field;
    list.push_back(std::move(element));
  }
  return json{{kStartCommands, list}}.dump(1);
}
