#include "app/setuplauncher.h"

#include <cwctype>
#include <filesystem>

#include "archive/extraction.h"
#include "archive/start_command.h"
#include "platform/entry.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "release/download_stage.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/hooks.h"
#include "support/log.h"
#include "telemetry/send_telemetry.h"
#include "ui/extractionprogress.h"
#include "ui/languageselectiondlg.h"
#include "ui/terminal_ui.h"
#include "ui/versionselectiondlg.h"

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

std::wstring identify_product(const std::wstring& built_in_product) {
  const std::wstring path = platform::executable_path();
  write_log_wide(L"Process name " + path, __LINE__, kLogSource);
  const auto stem = product_stem(path);

  std::wstring product = built_in_product;
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

std::wstring product_matrix_prompt(const std::string& matrix_url) {
  return L"Bitte prüfen Sie vorab, ob Sie die richtige Version für Ihren Arbeitsplatz ausgewählt haben. Möchten Sie "
         L"den Link öffnen?\n"
         L"Please check in advance whether you have selected the appropriate version for your workstation. Would you "
         L"like to navigate to this link?\n" +
         wide_from_utf8(matrix_url);
}

void offer_product_matrix(platform::Ui& ui, const std::wstring& product, const std::string& matrix_url) {
  if (!names_product_family(product)) return;
  if (ui.ask_yes_no(product_matrix_prompt(matrix_url), L"Download and install launcher")) {
    hooks().shell_open(wide_from_utf8(matrix_url));
  }
}

std::wstring setup_folder_for(const std::wstring& destination, const std::wstring& product,
                              const std::string& version) {
  return as_folder_path(destination) + product + L"." + wide_from_utf8(version) + platform::path_separator();
}

ReleaseInfo download_setup(const Settings& settings, platform::Ui& ui, const std::wstring& product) {
  DownloadStage download(settings.download, settings.index_keys, product, settings.download_fallbacks);
  const std::vector<ReleaseChoice> choices = download.offered();
  const VersionChoice choice = choose_version(ui, choices);
  const ReleaseInfo release =
      download.accept(choice.key, choice.download_only, choice.destination, settings.launcher_version);
  send_telemetry(settings.telemetry, product, release.version, "begin", "0", static_cast<int>(settings.launcher_version));
  download.download(release, progress_windows(ui));
  return release;
}

void run_main_flow(const Settings& settings, platform::Ui& ui, const std::wstring& product) {
  const std::uint64_t start_ms = platform::tick_count_ms();
  const ReleaseInfo release = download_setup(settings, ui, product);

  const std::uint64_t seconds = (platform::tick_count_ms() - start_ms) / 1000;
  // Reported before extraction: "success" means the archive arrived verified.
  send_telemetry(settings.telemetry, product, release.version, "success", std::to_string(seconds),
                 static_cast<int>(settings.launcher_version));

  const std::wstring archive = archive_path(release);
  const std::wstring setup_folder = setup_folder_for(release.destination, product, release.version);
  delete_tree(setup_folder);
  if (!extract_archive(archive, setup_folder, progress_windows(ui))) return;  // the archive stays for the next attempt
  if (!release.download_only) {
    run_start_command(archive, setup_folder, [&ui] { return choose_language_code(ui); });
  }
  std::error_code ec;
  std::filesystem::remove(platform::fs_path(archive), ec);
}

int launcher_main(const Settings& settings, platform::Ui& ui) {
  try {
    const std::wstring product = identify_product(settings.product);
    offer_product_matrix(ui, product, settings.matrix_url);
    run_main_flow(settings, ui, product);
  } catch (const std::exception& failure) {
    ui.show_message(failure.what(), L"Setup launcher");
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
  }
  return 0;
}

int program_main(const std::vector<std::wstring>&) {
  platform::initialise_process();
  const Settings settings = settings_from_build();
  const std::unique_ptr<platform::Ui> ui = make_user_interface();
  return launcher_main(settings, *ui);
}
