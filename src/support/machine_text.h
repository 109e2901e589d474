// Text forms of machine facts that some platforms give only in raw shape:
// pure, so that every platform build (and the tests) can use them.
#pragma once

#include <cstdint>
#include <string>

// The fallback of every locale fact, spelled as the table's readers know it.
inline constexpr char kUnknownLocaleText[] = "<unkown>";

// "Cannot query, error: <error> last error: <last_error>".
std::string machine_guid_error_text(long error, long last_error);

// A machine-id file's content (32 hex digits, then a line end) in GUID form
// 8-4-4-4-12, lower case; empty when the content is not such an id.
std::string guid_from_machine_id(const std::string& content);

// The 16 bytes as a version-4 UUID: version and variant bits set, 36
// characters, lower case.
std::string uuid_v4_text(const unsigned char (&bytes)[16]);

// Leading version numbers of a kernel release text ("6.1.0-18-amd64" gives 6
// and 1). False when the text does not start with a number.
bool kernel_version_numbers(const std::string& release, unsigned long& major, unsigned long& minor);

struct LocaleNames {
  std::string locale_sname;     // "de-DE"
  std::string iso3166_country;  // "DE"
};
// From a POSIX locale name such as "de_DE.UTF-8" or "sr_RS@latin"; "C",
// "POSIX" and empty names give the unknown text for both, a name without a
// territory gives only the language.
LocaleNames locale_names_from_posix(const std::string& name);

// The interface language of a POSIX locale, as a Windows language id: the
// first set of LC_ALL, LC_MESSAGES and LANG decides; German (0x0407) for
// "de..." names, English (0x0409) for everything else, "C" included.
std::uint16_t ui_language_from_locale(const char* lc_all, const char* lc_messages, const char* lang);
