// The progress window of the two long stages, with a remaining-time
// estimate in its caption: the average time per step since the first step,
// times the steps still to come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui.h"

// " (ETA hh:mm:ss)"; hours may have more than two digits.
std::wstring eta_text(std::uint32_t seconds_left);

class ExtractionProgress {
 public:
  // Opens the platform's progress window.
  ExtractionProgress();
  explicit ExtractionProgress(std::unique_ptr<platform::ProgressWindow> window);

  void append_caption(const std::wstring& text);
  void set_max_progress(std::uint32_t max);
  void step_progress();
  // step_progress with a given tick, for a clock of the caller's choice.
  void step_progress_at(std::uint64_t now_ms);
  void reset_progress();

  std::uint32_t max_progress() const { return mMaxProgress; }
  std::uint32_t current_progress() const { return mCurProgress; }

 private:
  std::unique_ptr<platform::ProgressWindow> mWindow;
  std::uint32_t mMaxProgress = 0;
  std::uint32_t mCurProgress = 0;
  std::uint64_t mStartTick = 0;
  std::wstring mBaseTitle;
};
