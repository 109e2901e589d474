// The progress window of the two long stages, with a remaining-time
// estimate in its caption: the average time per step since the first step,
// times the steps still to come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui.h"
#include "support/progress.h"

// " (ETA hh:mm:ss)"; hours may have more than two digits.
std::wstring eta_text(std::uint32_t seconds_left);

class ExtractionProgress : public Progress {
 public:
  // Opens the user interface's progress window.
  explicit ExtractionProgress(platform::Ui& ui);

  void append_caption(const std::wstring& text);
  void set_max_progress(std::uint32_t max);
  void step() override;
  // step with a given tick, for a clock of the caller's choice.
  void step_progress_at(std::uint64_t now_ms);
  void restart() override;
  void keep_alive() override { mUi.pump_messages(10); }

  std::uint32_t max_progress() const { return mMaxProgress; }
  std::uint32_t current_progress() const { return mCurProgress; }

 private:
  platform::Ui& mUi;
  std::unique_ptr<platform::ProgressWindow> mWindow;
  std::uint32_t mMaxProgress = 0;
  std::uint32_t mCurProgress = 0;
  std::uint64_t mStartTick = 0;
  std::wstring mBaseTitle;
};

// Shows each stage's progress in a window of the user interface, its
// caption naming the stage: "Fortschritt / Progress (download)".
ProgressOpener progress_windows(platform::Ui& ui);
