#include "app/settings.h"

#include "app/stored_text.h"
#include "build_settings.h"
#include "platform/crypto.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/signature.h"

namespace {

// The telemetry endpoint is kept in the program Base64-encoded, the key
// twice (the key as the storage service shows it is itself Base64), so that
// a plain look through the image shows none of it. That hides; it does not
// protect: a key in the image is anyone's key (see docs/telemetry.md).
constexpr auto kStoredKey =
    base64_at_build<constexpr_text_length(build_settings::telemetry_key)>(build_settings::telemetry_key);
constexpr auto kStoredHost =
    base64_at_build<constexpr_text_length(build_settings::telemetry_host)>(build_settings::telemetry_host);
constexpr auto kStoredAccount =
    base64_at_build<constexpr_text_length(build_settings::telemetry_account)>(build_settings::telemetry_account);

}  // namespace

Settings settings_from_build() {
  Settings settings;
  settings.launcher_version = build_settings::launcher_version;
  settings.product = platform::built_in_product();
  settings.matrix_url = build_settings::matrix_url;

  settings.download.host = wide_from_utf8(build_settings::download_host);
  settings.download.port = build_settings::download_port;
  settings.download.ca_file = build_settings::ca_file;
  settings.download_fallbacks = services_from_host_list(build_settings::download_fallback_hosts, settings.download);
  settings.index_keys = split_pem_public_keys(build_settings::index_keys);

  settings.telemetry.key = platform::base64_decode(kStoredKey.text);
  settings.telemetry.host = platform::base64_decode(kStoredHost.text);
  settings.telemetry.account = platform::base64_decode(kStoredAccount.text);
  settings.telemetry.port = build_settings::telemetry_port;
  settings.telemetry.sas = build_settings::telemetry_sas;
  settings.telemetry.ca_file = build_settings::ca_file;
  return settings;
}
