#include "app/command_line.h"

#include "platform/text.h"
#include "support/text.h"

namespace {

enum class Takes { nothing, value };

struct KnownOption {
  const char* name;  // without the leading "--"
  Takes takes;
};

constexpr KnownOption kOptions[] = {
    {"help", Takes::nothing},          {"version", Takes::nothing}, {"list", Takes::nothing},
    {"json", Takes::nothing},          {"release", Takes::value},   {"destination", Takes::value},
    {"download-only", Takes::nothing}, {"language", Takes::value},  {"passive", Takes::nothing},
    {"quiet", Takes::nothing},         {"wait", Takes::nothing},
};

const KnownOption* find_option(const std::string& name) {
  for (const KnownOption& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// The long name that a short or Windows-style argument stands for; empty
// when it is none.
std::string alias_of(const std::string& argument) {
  if (argument == "-h") return "help";
  const std::string lower = ascii_lower(argument);
  if (lower == "/?") return "help";
  if (lower == "/quiet") return "quiet";
  if (lower == "/passive") return "passive";
  return {};
}

// Stores one option; the error's text when its value is not acceptable.
std::optional<std::string> apply(LauncherOptions& options, const std::string& name, const std::string& value) {
  const auto once = [&name](auto& field, auto given) -> std::optional<std::string> {
    if (field) return "--" + name + " is given twice";
    field = std::move(given);
    return std::nullopt;
  };
  if (name == "help") options.help = true;
  else if (name == "version") options.version = true;
  else if (name == "list") options.list = true;
  else if (name == "json") options.json = true;
  else if (name == "download-only") options.download_only = true;
  else if (name == "passive") options.passive = true;
  else if (name == "quiet") options.quiet = true;
  else if (name == "wait") options.wait = true;
  else if (name == "release") return once(options.release, value);
  else if (name == "destination") return once(options.destination, wide_from_utf8(value));
  else if (name == "language") {
    const std::string language = ascii_lower(value);
    if (language != "de" && language != "en") return "--language takes de or en, not \"" + printable(value) + "\"";
    return once(options.language, language);
  }
  return std::nullopt;
}

// The combinations that make no sense; empty when there is none.
std::optional<std::string> conflict(const LauncherOptions& options) {
  if (options.json && !options.list) return std::string("--json goes with --list");
  if (options.version && options.list) return std::string("--version and --list each stand alone");
  const bool installs = options.release || options.destination || options.download_only || options.language ||
                        options.passive || options.quiet || options.wait;
  if ((options.version || options.list) && installs) {
    return std::string(options.version ? "--version" : "--list") + " does not go with the options of an install";
  }
  if (options.wait && options.download_only) return std::string("--wait has nothing to wait for with --download-only");
  return std::nullopt;
}

}  // namespace

std::variant<LauncherOptions, UsageError> parse_command_line(const std::vector<std::wstring>& arguments) {
  LauncherOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = utf8_from_wide(arguments[i]);
    std::string name = alias_of(argument);
    std::optional<std::string> value;
    if (name.empty()) {
      if (argument.size() <= 2 || argument.compare(0, 2, "--") != 0) {
        const bool looks_like_option = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
        return UsageError{looks_like_option ? "unknown option " + printable(argument)
                                            : "unexpected argument \"" + printable(argument) + "\""};
      }
      const std::size_t equals = argument.find('=');
      name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      if (equals != std::string::npos) value = argument.substr(equals + 1);
    }
    const KnownOption* known = find_option(name);
    if (!known) return UsageError{"unknown option --" + printable(name)};
    if (known->takes == Takes::nothing && value) return UsageError{"--" + name + " takes no value"};
    if (known->takes == Takes::value && !value) {
      // "--destination --quiet" forgot the folder; it does not name one.
      if (i + 1 < arguments.size() && utf8_from_wide(arguments[i + 1]).rfind("--", 0) != 0) {
        value = utf8_from_wide(arguments[++i]);
      }
    }
    if (known->takes == Takes::value && (!value || value->empty())) return UsageError{"--" + name + " needs a value"};
    if (auto error = apply(options, name, value.value_or(std::string()))) return UsageError{*error};
  }
  if (options.help) return options;
  if (auto error = conflict(options)) return UsageError{*error};
  return options;
}

std::string usage_text(const std::string& program, const std::string& example_folder) {
  return "Usage: " + program + " [options]\n"
         "\n"
         "Downloads a release of the product, unpacks it and starts its setup program.\n"
         "Without options it asks in its windows. With options it takes the answers\n"
         "from them and asks only for what they leave open.\n"
         "\n"
         "Choosing:\n"
         "  --release KEY        the release to install; \"current\" for the current one\n"
         "  --destination DIR    the folder to download to (default: Downloads)\n"
         "  --download-only      download and unpack, start no setup program\n"
         "  --language de|en     the setup program's language, where a release has two\n"
         "\n"
         "Unattended:\n"
         "  --passive            ask nothing, take defaults for what is not given\n"
         "  --quiet              as --passive, and show no window and no progress\n"
         "  --wait               wait for the setup program, exit with its exit code\n"
         "  /passive, /quiet and /? work as well\n"
         "\n"
         "Information:\n"
         "  --list [--json]      the releases offered, current first\n"
         "  --version            the launcher's version, product and download host\n"
         "  -h, --help           this text\n"
         "\n"
         "Exit codes: 0 done, 1 failed (message on standard error, details in the\n"
         "log), 2 bad usage, 3 cancelled; with --wait the setup program's own code.\n"
         "\n"
         "Silent install of the current release:\n"
         "  " + program + " --release current --destination " + example_folder + " --quiet --wait\n";
}

int exit_code(const RunResult& result) {
  switch (result.end) {
    case RunEnd::done:
      return result.setup_exit_code.value_or(0);
    case RunEnd::failed:
      return 1;
    case RunEnd::bad_usage:
      return 2;
    case RunEnd::cancelled:
      return 3;
  }
  return 1;
}
