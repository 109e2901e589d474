#include "ui/extractionprogress.h"

#include <cwchar>

#include "platform/system.h"
#include "platform/text.h"
#include "support/log.h"
#include "support/text.h"

namespace {
constexpr char kLogSource[] = "extractionprogress";
}

std::wstring eta_text(std::uint32_t seconds_left) {
  wchar_t text[48];
  std::swprintf(text, sizeof text / sizeof text[0], L" (ETA %02u:%02u:%02u)", seconds_left / 3600,
                (seconds_left % 3600) / 60, seconds_left % 60);
  return text;
}

ExtractionProgress::ExtractionProgress(platform::Ui& ui) : mUi(ui), mWindow(ui.open_progress_window()) {}

void ExtractionProgress::append_caption(const std::wstring& text) {
  mWindow->set_caption(mWindow->caption() + L" " + text);
}

void ExtractionProgress::set_max_progress(std::uint32_t max) {
  mWindow->set_range(max);
  mMaxProgress = max;
}

void ExtractionProgress::set_stage(const std::wstring& stage, std::uint64_t total_bytes) {
  mFigures.stage = stage;
  mFigures.bytes_total = total_bytes;
  mWindow->show_figures(mFigures);
}

void ExtractionProgress::step(std::uint64_t bytes) { step_progress_at(platform::tick_count_ms(), bytes); }

void ExtractionProgress::step_progress_at(std::uint64_t now_ms, std::uint64_t bytes) {
  mWindow->step();
  mFigures.bytes_done += bytes;
  mFigures.bytes_per_second = 0;
  mFigures.seconds_left = 0;
  if (mCurProgress == 0) {
    // The clock starts when the first unit is already done.
    mStartTick = now_ms;
    mStartBytes = mFigures.bytes_done;
    if (mBaseTitle.empty()) mBaseTitle = mWindow->caption();
  } else {
    show_estimate_at(now_ms);
  }
  ++mCurProgress;
  mWindow->show_figures(mFigures);
}

void ExtractionProgress::show_estimate_at(std::uint64_t now_ms) {
  std::wstring estimate;
  const std::uint64_t elapsed = now_ms - mStartTick;
  if (elapsed > 1000) {
    mFigures.bytes_per_second = (mFigures.bytes_done - mStartBytes) * 1000 / elapsed;
    const double diff_seconds = static_cast<double>(elapsed) * 0.001;
    const double estimated_seconds = static_cast<double>(mMaxProgress) * diff_seconds / mCurProgress;
    // Past the maximum (blocks fetched again after a mismatch) the estimate
    // falls below the time already spent: nothing is left to show.
    const double left = estimated_seconds - diff_seconds;
    const std::uint32_t seconds_left = left < 1.0             ? 0
                                       : left >= 4294967295.0 ? 4294967295u
                                                              : static_cast<std::uint32_t>(left);
    if (seconds_left > 0) {
      estimate = eta_text(seconds_left);
      write_log_wide(L"mMaxProgress: " + std::to_wstring(mMaxProgress) + L" mCurProgress: " +
                         std::to_wstring(mCurProgress) + L" diffSeconds: " +
                         wide_from_utf8(fixed_decimal(diff_seconds, 6)) + L" estimatedSeconds: " +
                         wide_from_utf8(fixed_decimal(estimated_seconds, 6)) + L" secondsLeft: " +
                         std::to_wstring(seconds_left) + estimate,
                     __LINE__, kLogSource);
    }
    mFigures.seconds_left = seconds_left;
  }
  mWindow->set_caption(mBaseTitle + estimate);
}

void ExtractionProgress::restart() {
  mWindow->set_position(0);
  mCurProgress = 0;
  mFigures.bytes_done = 0;
}

ProgressOpener progress_windows(platform::Ui& ui) {
  return [&ui](const std::wstring& stage, std::uint32_t units, std::uint64_t bytes) -> std::unique_ptr<Progress> {
    auto progress = std::make_unique<ExtractionProgress>(ui);
    progress->append_caption(L"(" + stage + L")");
    // Figures first: a terminal then draws its first line with them.
    progress->set_stage(stage, bytes);
    progress->set_max_progress(units);
    return progress;
  };
}
