#include "release/update_plan.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "formats/release_index.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/names.h"
#include "support/text.h"

namespace {

constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr unsigned kMaxSeedDepth = 64;

struct FolderItem {
  std::wstring name;
  bool is_folder = false;
  bool is_link = false;
};

std::vector<FolderItem> folder_items(const std::wstring& folder) {
  std::vector<platform::FolderEntry> entries;
  std::vector<FolderItem> items;
  if (!platform::list_folder(folder, entries)) return items;
  for (const platform::FolderEntry& entry : entries) {
    std::size_t name = entry.path.size();
    while (name > 0 && !platform::is_path_separator(entry.path[name - 1])) --name;
    items.push_back({entry.path.substr(name), entry.is_folder, entry.is_link});
  }
  return items;
}

std::wstring folded(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return path;
}

bool ends_with(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Sums that a forged directory could make wrap around saturate instead.
std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::vector<std::size_t> by_offset(const std::vector<zip::MemberStat>& members) {
  std::vector<std::size_t> order(members.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return members[a].local_header_offset < members[b].local_header_offset;
  });
  return order;
}

}  // namespace

std::string directory_problem(const std::vector<zip::MemberStat>& members, std::uint64_t data_end) {
  std::set<std::string> names;
  const std::vector<std::size_t> order = by_offset(members);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const zip::MemberStat& member = members[order[k]];
    if (!names.insert(ascii_lower(member.name)).second) return "the archive holds " + member.name + " twice";
    // The least a member takes: its local header, its name there, its data.
    const std::uint64_t end = saturated_sum(
        saturated_sum(saturated_sum(member.local_header_offset, kLocalHeaderSize), member.name.size()),
        member.compressed_size);
    if (end > data_end) return "member " + member.name + " reaches past the archive's data";
    if (k + 1 < order.size() && end > members[order[k + 1]].local_header_offset) {
      return "members " + member.name + " and " + members[order[k + 1]].name + " overlap";
    }
  }
  return {};
}

std::vector<ByteSpan> member_spans(const std::vector<zip::MemberStat>& members, std::uint64_t data_end) {
  std::vector<ByteSpan> spans(members.size());
  const std::vector<std::size_t> order = by_offset(members);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::uint64_t next = k + 1 < order.size() ? members[order[k + 1]].local_header_offset : data_end;
    spans[order[k]] = {members[order[k]].local_header_offset, next};
  }
  return spans;
}

std::vector<ByteSpan> merge_spans(std::vector<ByteSpan> spans, std::uint64_t gap) {
  std::sort(spans.begin(), spans.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.first < b.first; });
  std::vector<ByteSpan> merged;
  for (const ByteSpan& span : spans) {
    if (!merged.empty() && span.first <= saturated_sum(merged.back().end, gap)) {
      merged.back().end = std::max(merged.back().end, span.end);
    } else {
      merged.push_back(span);
    }
  }
  return merged;
}

std::string full_download_reason(const RouteFacts& facts) {
  if (facts.download_only) return "the archive itself is asked for";
  if (facts.archive_on_disk) return "the archive is on disk already, whole or in part";
  if (!facts.manifests_pinned) return "the release index gives no digests of the archive's manifests";
  if (!facts.seed_folders) return "no setup folder of an earlier release is there to take contents from";
  return {};
}

std::vector<std::wstring> seed_folders(const std::wstring& destination, const std::wstring& product,
                                       const std::string& version) {
  const std::wstring folder = as_folder_path(destination);
  const std::wstring prefix = product + L".";
  std::vector<std::pair<std::int64_t, std::wstring>> earlier;
  std::wstring replaced;
  for (const FolderItem& item : folder_items(folder)) {
    // A link could lead anywhere; the launcher never made one.
    if (!item.is_folder || item.is_link || item.name.compare(0, prefix.size(), prefix) != 0) continue;
    if (ends_with(item.name, kStoreFolderSuffix) || ends_with(item.name, kNewSetupFolderSuffix)) continue;
    const std::string item_version = utf8_from_wide(item.name.substr(prefix.size()));
    if (item_version.empty() || !is_safe_file_name(item_version)) continue;
    const std::wstring path = folder + item.name + platform::path_separator();
    if (item_version == version) {
      replaced = path;
    } else {
      earlier.emplace_back(parse_version(item_version), path);
    }
  }
  std::sort(earlier.begin(), earlier.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::wstring> folders;
  if (!replaced.empty()) folders.push_back(replaced);
  for (const auto& [rank, path] : earlier) {
    if (folders.size() == kMaxSeedFolders) break;
    folders.push_back(path);
  }
  return folders;
}

SeedIndex::SeedIndex(const std::vector<std::wstring>& folders) {
  for (const std::wstring& folder : folders) walk(folder, L"", 0);
}

void SeedIndex::walk(const std::wstring& folder, const std::wstring& relative, unsigned depth) {
  if (depth > kMaxSeedDepth) return;
  for (const FolderItem& item : folder_items(folder + relative)) {
    if (files_ >= kMaxSeedFiles) return;
    if (item.is_link) continue;
    const std::wstring path = relative + item.name;
    if (item.is_folder) {
      walk(folder, path + platform::path_separator(), depth + 1);
      continue;
    }
    platform::File file(folder + path, platform::File::Mode::read);
    const std::optional<std::uint64_t> size = file.is_open() ? file.size() : std::nullopt;
    if (!size) continue;
    by_path_[folded(path)].push_back({folder + path, *size});
    by_size_.emplace(*size, folder + path);
    ++files_;
  }
}

std::vector<std::wstring> SeedIndex::candidates(const std::vector<std::string>& destinations,
                                                std::uint64_t size) const {
  std::vector<std::wstring> found;
  for (const std::string& destination : destinations) {
    const std::wstring wide = wide_from_utf8(destination);
    if (!is_safe_relative_path(wide)) continue;
    const auto at = by_path_.find(folded(wide));
    if (at == by_path_.end()) continue;
    for (const auto& [path, file_size] : at->second) {
      if (file_size != size) continue;
      if (std::find(found.begin(), found.end(), path) == found.end()) found.push_back(path);
    }
  }
  std::size_t same_size = 0;
  for (auto [it, end] = by_size_.equal_range(size); it != end && same_size < kMaxSizeCandidates; ++it) {
    if (std::find(found.begin(), found.end(), it->second) != found.end()) continue;
    found.push_back(it->second);
    ++same_size;
  }
  return found;
}

std::optional<std::vector<std::size_t>> missing_members(const std::vector<ArcInfoEntry>& entries,
                                                        const std::set<std::string>& seeded,
                                                        const std::vector<zip::MemberStat>& members) {
  std::unordered_map<std::string, std::size_t> by_name;
  for (std::size_t i = 0; i < members.size(); ++i) by_name.emplace(ascii_lower(members[i].name), i);
  std::set<std::size_t> wanted;
  for (const ArcInfoEntry& entry : entries) {
    if (seeded.count(entry.hash)) continue;
    const auto at = by_name.find(ascii_lower(entry.hash));
    if (at == by_name.end()) return std::nullopt;
    wanted.insert(at->second);
  }
  std::vector<std::size_t> order(wanted.begin(), wanted.end());
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return members[a].local_header_offset < members[b].local_header_offset;
  });
  return order;
}
