#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/system.h"
#include "support/machine_text.h"

namespace platform {

OsVersion os_version() {
  // The kernel's version stands in for the operating system's; there are no
  // service packs.
  OsVersion version;
  utsname name{};
  if (uname(&name) != 0) return version;
  version.known = kernel_version_numbers(name.release, version.major, version.minor);
  return version;
}

std::uint64_t total_physical_memory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return 0;
  return static_cast<std::uint64_t>(info.totalram) * (info.mem_unit ? info.mem_unit : 1);
}

std::string machine_guid_text() {
  // systemd's id first; older systems keep only the D-Bus copy.
  int error = 0;
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      error = errno ? errno : ENOENT;
      continue;
    }
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string guid = guid_from_machine_id(content);
    if (!guid.empty()) return guid;
    error = EINVAL;
  }
  return machine_guid_error_text(error, errno);
}

std::string new_uuid_text() {
  unsigned char bytes[16];
  std::ifstream random("/dev/urandom", std::ios::binary);
  if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes)) return {};
  return uuid_v4_text(bytes);
}

SystemLocale system_locale() {
  // The same precedence the C library uses for messages.
  std::string name;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) {
      name = value;
      break;
    }
  }
  const LocaleNames names = locale_names_from_posix(name);
  // No platform-wide numbering of geographical locations here.
  return SystemLocale{kUnknownLocaleText, names.iso3166_country, names.locale_sname};
}

}  // namespace platform
