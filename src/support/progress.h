// How a long stage shows how far it has come, without knowing who watches:
// the progress window with its time estimate, terminal lines, or a test.
// A unit is a block of the download or a file of the extraction; its bytes
// are the block's length or the file's unpacked size.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Progress {
 public:
  virtual ~Progress() = default;
  // One more unit done, of that many bytes.
  virtual void step(std::uint64_t bytes) = 0;
  // Back to no unit done: what was counted must be done again.
  virtual void restart() = 0;
  // Lets the windows redraw and answer between the pieces of a long unit.
  virtual void keep_alive() = 0;
};

// Shows the progress of one stage, named for the user ("download",
// "extract"), that will take `units` units of `bytes` bytes together.
using ProgressOpener =
    std::function<std::unique_ptr<Progress>(const std::wstring& stage, std::uint32_t units, std::uint64_t bytes)>;

// Shows nothing: for runs without a user interface.
ProgressOpener no_progress();
