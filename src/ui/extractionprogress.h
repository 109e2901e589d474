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
  // The stage's name and its bytes in all, for a window that shows figures.
  void set_stage(const std::wstring& stage, std::uint64_t total_bytes);
  void step(std::uint64_t bytes) override;
  // step with a given tick, for a clock of the caller's choice.
  void step_progress_at(std::uint64_t now_ms, std::uint64_t bytes = 0);
  void restart() override;
  void keep_alive() override { mUi.pump_messages(10); }

  std::uint32_t max_progress() const { return mMaxProgress; }
  std::uint32_t current_progress() const { return mCurProgress; }

 private:
  // The time left and the rate, in the caption and the figures.
  void show_estimate_at(std::uint64_t now_ms);

  platform::Ui& mUi;
  std::unique_ptr<platform::ProgressWindow> mWindow;
  std::uint32_t mMaxProgress = 0;
  std::uint32_t mCurProgress = 0;
  std::uint64_t mStartTick = 0;
  std::wstring mBaseTitle;
  platform::ProgressFigures mFigures;
  std::uint64_t mStartBytes = 0;  // done when the clock started
};

// Shows each stage's progress in a window of the user interface, its
// caption naming the stage: "Fortschritt / Progress (download)", and its
// figures: bytes done, the rate since the clock started, the time left.
ProgressOpener progress_windows(platform::Ui& ui);
