// Planning an update that fetches only the contents the machine lacks. The
// archive names every member by the SHA-256 of its content, so a content
// found on disk with that digest (a seed) need not be fetched; the rest is
// fetched by byte ranges taken from the archive's central directory. These
// are the decisions; release/update_fetch.h does the fetching.
//
// The directory comes from the network like everything else: a plan is made
// only from one that passes directory_problem, and any doubt sends the run
// down the full download instead, which is never worse than today.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "formats/archive_manifest.h"

// Two ranges closer than this are fetched as one: 64 KiB take about 5 ms on
// a 100 Mbit/s link, well below the round trip of another request.
inline constexpr std::uint64_t kRangeMergeGap = 64u << 10;
// The most a seed search looks at: folders of earlier releases, and files
// in them all (beyond that the remaining contents are fetched).
inline constexpr std::size_t kMaxSeedFolders = 4;
inline constexpr std::size_t kMaxSeedFiles = 200'000;
// Same-size files hashed for one content before it is fetched instead.
inline constexpr std::size_t kMaxSizeCandidates = 4;

// Beside the setup folder "<product>.<version>": the contents on their way
// (ContentStore), and the new setup folder until it takes the old one's
// place. Neither is a seed folder.
inline constexpr wchar_t kStoreFolderSuffix[] = L".staging";
inline constexpr wchar_t kNewSetupFolderSuffix[] = L".new";

// Bytes [first, end) of the archive.
struct ByteSpan {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  std::uint64_t size() const { return end - first; }
};
inline bool operator==(const ByteSpan& a, const ByteSpan& b) { return a.first == b.first && a.end == b.end; }

// Why the members of a central directory cannot be fetched by range, as a
// line for the log; empty when they can. Refused: a member whose local
// header and data (at least a header, its name and its compressed bytes)
// would reach past data_end (where the directory begins), members that
// overlap, and two members of one name.
std::string directory_problem(const std::vector<zip::MemberStat>& members, std::uint64_t data_end);

// The span of every member (in the order given): from its local header to
// the next member's local header, or to data_end for the last. Only for
// members that passed directory_problem.
std::vector<ByteSpan> member_spans(const std::vector<zip::MemberStat>& members, std::uint64_t data_end);

// The spans sorted and joined where they touch, overlap or lie at most gap
// bytes apart.
std::vector<ByteSpan> merge_spans(std::vector<ByteSpan> spans, std::uint64_t gap);

// Why this run downloads the whole archive rather than the missing
// contents, as a line for the log; empty when the differential path may be
// tried.
struct RouteFacts {
  bool download_only = false;     // the user asked for the archive itself
  bool archive_on_disk = false;   // an earlier run left it, whole or in part
  bool manifests_pinned = false;  // the index gives both manifests' digests
  bool seed_folders = false;      // earlier setup folders of the product exist
};
std::string full_download_reason(const RouteFacts& facts);

// The setup folders of the product's releases in the destination folder
// ("<product>.<version>", made by the launcher, never a link, none of the
// folders beside one), the one being
// replaced first, then the others by their version, highest first; at most
// kMaxSeedFolders. Each ends in a separator.
std::vector<std::wstring> seed_folders(const std::wstring& destination, const std::wstring& product,
                                       const std::string& version);

// The regular files below the seed folders (links are neither followed nor
// listed), at most kMaxSeedFiles: where each relative path ('/' or '\'
// between names, as arcinfo.json writes them, compared without regard to
// case) lies in which folder, and the files of each size.
class SeedIndex {
 public:
  explicit SeedIndex(const std::vector<std::wstring>& folders);
  // The files that may hold a content of this size that arcinfo.json sends
  // to these destinations: first those of this size at one of the
  // destinations (in the folders' order), then others of the same size, at most
  // kMaxSizeCandidates of those. Nothing is trusted by name: the caller
  // takes one only when its SHA-256 is the content's.
  std::vector<std::wstring> candidates(const std::vector<std::string>& destinations, std::uint64_t size) const;
  std::size_t file_count() const { return files_; }

 private:
  void walk(const std::wstring& folder, const std::wstring& relative, unsigned depth);

  struct SeedFile {
    std::wstring path;
    std::uint64_t size = 0;
  };
  // Folded relative path -> the files of that name, in the folders' order.
  std::map<std::wstring, std::vector<SeedFile>> by_path_;
  std::multimap<std::uint64_t, std::wstring> by_size_;
  std::size_t files_ = 0;
};

// The members a plan must fetch: those that hold a content of arcinfo.json
// not in `seeded`, each once, sorted by their place in the archive (so that
// their ranges come in order); indexes into members. Empty (no plan) when a
// content has no member.
std::optional<std::vector<std::size_t>> missing_members(const std::vector<ArcInfoEntry>& entries,
                                                        const std::set<std::string>& seeded,
                                                        const std::vector<zip::MemberStat>& members);
