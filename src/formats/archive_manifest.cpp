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

std::vector<ArcInfoEntry> parse_arcinfo(const std::string& text) {
  std::vector<ArcInfoEntry> entries;
  const json document = parse_json(text);
  if (!document.is_array()) return entries;
  for (const auto& element : document) {
    ArcInfoEntry entry;
    entry.hash = json_text(element, kHash);
    if (element.is_object()) {
      const auto dst = element.find(kDestinations);
      if (dst != element.end() && dst->is_array()) {
        for (const auto& path : *dst) {
          if (path.is_string()) entry.dst.push_back(path.get<std::string>());
        }
      }
    }
    entries.push_back(std::move(entry));
  }
  return entries;
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
