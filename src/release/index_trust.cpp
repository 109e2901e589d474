#include "release/index_trust.h"

#include "formats/index_signature.h"
#include "formats/release_index.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/log.h"
#include "support/names.h"

namespace {

constexpr char kLogSource[] = "netrelease_functions";

// "<product>.index-sequence" in the state folder; empty when there is no
// state folder or the product cannot name a file.
std::wstring state_file(const std::wstring& product) {
  const std::wstring folder = platform::user_state_folder();
  const std::string name = utf8_from_wide(product) + ".index-sequence";
  if (folder.empty() || !is_safe_file_name(name)) return {};
  return folder + wide_from_utf8(name);
}

// The decimal number of a state file ("12\n"); 0 when the text is anything else.
std::uint64_t stored_sequence(const std::string& text) {
  const std::size_t digits = text.size() - (!text.empty() && text.back() == '\n' ? 1 : 0);
  if (digits == 0 || digits > 19) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return value;
}

}  // namespace

std::string index_trust_problem(const std::string& product, const std::string& index_bytes, const nlohmann::json& index,
                                const std::string& signature_text, const std::vector<std::string>& keys,
                                std::uint64_t highest_seen, std::int64_t now) {
  if (!index_signature_verifies(index_bytes, signature_text, keys)) {
    return product + " release index signature is not valid";
  }
  // An equal sequence is the same publication again: a second run.
  if (index_sequence(index) < highest_seen) return product + " release index is older than the one seen before";
  const auto expiry = index_expiry(index);
  if (!expiry || *expiry <= now) return product + " release index has expired";
  return {};
}

std::uint64_t highest_sequence_seen(const std::wstring& product) {
  const std::wstring path = state_file(product);
  if (path.empty()) return 0;
  if (platform::path_kind(path) == platform::PathKind::none) return 0;
  // A state file is a few bytes: more is damage, and is not read whole.
  platform::File in(path, platform::File::Mode::read);
  char buffer[64];
  std::size_t got = 0;
  while (in.is_open() && got < sizeof buffer) {
    const std::size_t more = in.read(buffer + got, sizeof buffer - got);
    if (more == 0) break;
    got += more;
  }
  const std::uint64_t sequence = stored_sequence(std::string(buffer, got));
  if (sequence == 0) {
    write_log_wide(L"Release index state " + path + L" is unreadable or damaged; taken as nothing seen", __LINE__,
                   kLogSource);
  }
  return sequence;
}

bool remember_sequence(const std::wstring& product, std::uint64_t sequence) {
  const std::wstring path = state_file(product);
  if (!path.empty() && write_file_atomically(path, std::to_string(sequence) + "\n")) return true;
  write_log_wide(L"Release index state " + (path.empty() ? L"folder unknown" : path) + L" cannot be written",
                 __LINE__, kLogSource);
  return false;
}
