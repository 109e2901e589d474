// Placeholder until the GTK and terminal implementations land: no windows,
// messages on stderr, every question answered with Cancel.
#include "platform/ui.h"

#include <cstdio>

#include "platform/text.h"

namespace platform {
namespace {

class NullProgressWindow : public ProgressWindow {
 public:
  std::wstring caption() const override { return caption_; }
  void set_caption(const std::wstring& caption) override { caption_ = caption; }
  void set_range(std::uint32_t) override {}
  void step() override {}
  void set_position(std::uint32_t) override {}

 private:
  std::wstring caption_ = L"Fortschritt / Progress";
};

class HeadlessUi : public Ui {
 public:
  bool ask_yes_no(const std::wstring&, const std::wstring&) override { return false; }
  void show_message(const std::string& text, const std::wstring& caption) override {
    std::fprintf(stderr, "%s: %s\n", utf8_from_wide(caption).c_str(), text.c_str());
  }
  std::optional<VersionAnswer> ask_version(const VersionQuestion&) override { return std::nullopt; }
  std::optional<int> ask_language(const std::vector<std::wstring>&, int) override { return std::nullopt; }
  std::unique_ptr<ProgressWindow> open_progress_window() override { return std::make_unique<NullProgressWindow>(); }
  void pump_messages(unsigned) override {}
};

}  // namespace

std::unique_ptr<Ui> make_platform_ui() { return std::make_unique<HeadlessUi>(); }
std::uint16_t user_ui_language() { return 9; }
std::wstring downloads_folder() { return {}; }

}  // namespace platform
