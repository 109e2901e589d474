// Reading a zip archive front to back, member by member from the local
// headers, as its bytes arrive: no seeking, and nothing of the central
// directory is needed, so the members can be unpacked while the rest of the
// archive is still on its way.
//
// An archive streams when every member's data follows its local header
// directly and the members follow each other up to the central directory,
// each stored or deflated, unencrypted, with its sizes in the local header
// (ZIP64 extra field included) or, deflated only, in a trailing data
// descriptor. Anything else (a stored member with a data descriptor, whose
// end cannot be found; bytes between members) stops the reading as
// "cannot stream", and the caller unpacks the archive from its central
// directory once it is whole instead.
//
// The bytes are hostile: a damaged or forged archive stops the reading,
// never makes it read or write without bound (a member's output is held to
// its recorded size, and a member of unknown size to what deflate can give).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zip_reader.h"

namespace zip {

// The archive's bytes in order. read() waits until some are there; 0 means
// that no more will come (the end, or the caller gave up).
class SequentialSource {
 public:
  virtual ~SequentialSource() = default;
  virtual std::size_t read(char* data, std::size_t size) = 0;
};

// What a local header says of a member.
struct LocalMember {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;  // 0 until the data descriptor, when the sizes are there
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  bool sizes_known = true;  // false: they follow the data in a data descriptor
};

// Receives the members' contents.
class MemberHandler {
 public:
  virtual ~MemberHandler() = default;
  // Where the member's content goes; null skips it.
  virtual ChunkSink* begin(const LocalMember& member) = 0;
  // After a member that begin() took: sound when its sizes and CRC-32 held.
  // False stops the reading.
  virtual bool end(bool sound) = 0;
};

enum class StreamEnd {
  complete,       // every member read, up to the central directory
  cannot_stream,  // a layout this reading does not follow, or damaged bytes
  stopped,        // the source ended early, or the handler said stop
};

StreamEnd read_members(SequentialSource& source, MemberHandler& handler);

}  // namespace zip
