#include "core/setuplauncher.h"

#include <cwctype>
#include <filesystem>

#include "build_settings.h"
#include "core/exceptions.h"
#include "netrelease/netrelease_functions.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "support/files.h"
#include "support/log.h"
#include "telemetry/send_telemetry.h"

namespace {
constexpr char kLogSource[] = "setuplauncher";
constexpr wchar_t kProductWord[] = L"brelvant";
}  // namespace

std::optional<std::wstring> product_stem(const std::wstring& executable_path) {
  // Walks backwards: everything from the last '.' on is cut off, then the
  // name is lower-cased up to the separator before it. Index 0 is never
  // looked at, so a bare name without a folder has no stem.
  std::wstring buffer = executable_path;
  bool dot_seen = false;
  for (std::size_t i = buffer.size(); i-- > 1;) {
    if (!dot_seen) {
      if (buffer[i] == L'.') dot_seen = true;
      buffer[i] = L'\0';
      continue;
    }
    if (buffer[i] >= L'A' && buffer[i] <= L'Z') buffer[i] = static_cast<wchar_t>(buffer[i] - L'A' + L'a');
    if (buffer[i] == L'/' || buffer[i] == L'\\') return std::wstring(buffer.c_str() + i + 1);
  }
  return std::nullopt;
}

std::wstring trim(const std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && std::iswspace(text[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && std::iswspace(text[begin])) ++begin;
  return text.substr(begin, end - begin);
}

std::wstring identify_product() {
  const std::wstring path = platform::executable_path();
  write_log_wide(L"Process name " + path, __LINE__, kLogSource);
  const auto stem = product_stem(path);

  std::wstring product = platform::built_in_product();
  if (!product.empty()) {
    write_log_wide(L"Product via resource " + product, __LINE__, kLogSource);
    product = trim(product);
  }
  if (!product.empty()) return product;
  if (stem) {
    write_log_wide(L"Product via process name " + *stem, __LINE__, kLogSource);
    return *stem;
  }
  return {};
}

bool names_product_family(const std::wstring& product) { return product.find(kProductWord) != std::wstring::npos; }

std::wstring product_matrix_prompt() {
  return L"Bitte prüfen Sie vorab, ob Sie die richtige Version für Ihren Arbeitsplatz ausgewählt haben. Möchten Sie "
         L"den Link öffnen?\n"
         L"Please check in advance whether you have selected the appropriate version for your workstation. Would you "
         L"like to navigate to this link?\n" +
         wide_from_utf8(build_settings::matrix_url);
}

void offer_product_matrix(const std::wstring& product) {
  if (!names_product_family(product)) return;
  if (ui().ask_yes_no(product_matrix_prompt(), L"Download and install launcher")) {
    platform::shell_open(wide_from_utf8(build_settings::matrix_url));
  }
}

std::wstring setup_folder_for(const std::wstring& destination, const std::wstring& product,
                              const std::string& version) {
  return as_folder_path(destination) + product + L"." + wide_from_utf8(version) + platform::path_separator();
}

void run_main_flow(std::wstring product) {
  download_host = wide_from_utf8(build_settings::download_host);
  const std::uint64_t start_ms = platform::tick_count_ms();

  ReleaseInfo release;
  download_setup(product, release);

  const std::uint64_t seconds = (platform::tick_count_ms() - start_ms) / 1000;
  // Reported before extraction: "success" means the archive arrived verified.
  send_telemetry(product, release.version, "success", std::to_string(seconds), launcher_version);

  const std::wstring setup_folder = setup_folder_for(release.destination, product, release.version);
  delete_tree(setup_folder);
  if (!extract_archive(setup_folder, release)) return;  // the archive stays for the next attempt
  if (!release.download_only) run_start_command(setup_folder, release);
  std::error_code ec;
  std::filesystem::remove(platform::fs_path(release.destination + wide_from_utf8(release.filename)), ec);
}

void run_launcher() {
  const std::wstring product = identify_product();
  offer_product_matrix(product);
  run_main_flow(product);
}

int launcher_main() {
  platform::initialise_process();
  try {
    run_launcher();
  } catch (const std::exception& failure) {
    ui().show_message(failure.what(), L"Setup launcher");
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
  }
  return 0;
}
