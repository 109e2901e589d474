// The download stage on its own, as the launcher runs it after the version
// choice: release index, blockhash list, blocks, whole-file digest. The
// version question is answered with the current release and DEST.
//
// Usage: download_stage_bench HOST PORT PRODUCT DEST [CA_FILE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "core/exceptions.h"
#include "netrelease/netrelease_functions.h"
#include "netrelease/release_index.h"
#include "platform/http.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace {

class SilentProgress : public platform::ProgressWindow {
 public:
  std::wstring caption() const override { return caption_; }
  void set_caption(const std::wstring& caption) override { caption_ = caption; }
  void set_range(std::uint32_t) override {}
  void step() override {}
  void set_position(std::uint32_t) override {}

 private:
  std::wstring caption_ = L"Fortschritt / Progress";
};

class AnsweringUi : public platform::Ui {
 public:
  explicit AnsweringUi(std::wstring destination) : destination_(std::move(destination)) {}
  bool ask_yes_no(const std::wstring&, const std::wstring&) override { return false; }
  void show_message(const std::string& text, const std::wstring&) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  std::optional<platform::VersionAnswer> ask_version(const platform::VersionQuestion&) override {
    platform::VersionAnswer answer;
    answer.selected_index = 0;
    answer.destination = destination_;
    return answer;
  }
  std::optional<int> ask_language(const std::vector<std::wstring>&, int) override { return std::nullopt; }
  std::unique_ptr<platform::ProgressWindow> open_progress_window() override {
    return std::make_unique<SilentProgress>();
  }
  void pump_messages(unsigned) override {}

 private:
  std::wstring destination_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s HOST PORT PRODUCT DEST [CA_FILE]\n", argv[0]);
    return 2;
  }
  download_host = wide_from_utf8(argv[1]);
  download_port = std::atoi(argv[2]);
  if (argc > 5) platform::set_extra_ca_file(argv[5]);
  set_ui(std::make_unique<AnsweringUi>(wide_from_utf8(argv[4])));

  ReleaseInfo release;
  const auto start = std::chrono::steady_clock::now();
  try {
    download_setup(wide_from_utf8(argv[3]), release);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  } catch (const AbortException&) {
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("download stage: %.3f s, %.1f MiB/s\n", seconds,
              static_cast<double>(release.filesize) / 1048576.0 / seconds);
  return 0;
}
