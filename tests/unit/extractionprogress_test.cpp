#include <gtest/gtest.h>

#include "common/scripted_ui.h"
#include "common/temp_dir.h"
#include "ui/extractionprogress.h"

namespace {

constexpr std::uint64_t kStart = 5'000'000;

struct ProgressFixture : ::testing::Test {
  LogCapture log;
  ScriptedUi ui;
  ExtractionProgress progress{ui};
  ProgressRecord& window() { return *ui.progress_windows.at(0); }

  ProgressFixture() { progress.append_caption(L"(extract)"); }
};

}  // namespace

TEST(EtaText, HoursMinutesSecondsZeroPadded) {
  const std::pair<std::uint32_t, const wchar_t*> cases[] = {
      {1, L" (ETA 00:00:01)"},    {59, L" (ETA 00:00:59)"},   {60, L" (ETA 00:01:00)"},
      {3599, L" (ETA 00:59:59)"}, {3600, L" (ETA 01:00:00)"}, {3661, L" (ETA 01:01:01)"},
      {360000, L" (ETA 100:00:00)"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(eta_text(seconds), text) << seconds;
}

TEST_F(ProgressFixture, TheExampleStageOfTenUnits) {
  progress.set_max_progress(10);
  progress.step_progress_at(kStart);
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract)");
  EXPECT_EQ(progress.current_progress(), 1u);
  for (std::uint64_t t : {kStart + 5000, kStart + 10000, kStart + 15000}) progress.step_progress_at(t);
  progress.step_progress_at(kStart + 20000);

  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract) (ETA 00:00:30)");
  EXPECT_EQ(window().position, 5u);
  const auto lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().substr(lines.back().find("): ") + 3),
            "mMaxProgress: 10 mCurProgress: 4 diffSeconds: 20.000000 estimatedSeconds: 50.000000 "
            "secondsLeft: 30 (ETA 00:00:30)");
  EXPECT_EQ(lines.back().rfind("extractionprogress(", 0), 0u);
}

TEST_F(ProgressFixture, NoEstimateWithinTheFirstSecond) {
  progress.set_max_progress(1000);
  progress.step_progress_at(kStart);
  progress.step_progress_at(kStart + 500);
  progress.step_progress_at(kStart + 1000);  // exactly one second still counts as too early
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract)");
  EXPECT_EQ(window().position, 3u);
  EXPECT_TRUE(log.lines().empty());

  progress.step_progress_at(kStart + 1001);
  EXPECT_NE(window().caption, L"Fortschritt / Progress (extract)");
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(ProgressFixture, UnderOneSecondLeftShowsThePlainCaption) {
  progress.set_max_progress(3);
  progress.step_progress_at(kStart);
  progress.step_progress_at(kStart + 3000);  // 3 × 3 s ÷ 1 − 3 s = 6 s
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract) (ETA 00:00:06)");
  progress.step_progress_at(kStart + 6000);  // 3 × 6 ÷ 2 − 6 = 3
  progress.step_progress_at(kStart + 9000);  // at the maximum: 0 left
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract)");
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(ProgressFixture, BeyondTheMaximumTheEstimateDisappears) {
  // Blocks fetched again after a mismatch step past the maximum.
  progress.set_max_progress(2);
  for (std::uint64_t i = 0; i < 6; ++i) progress.step_progress_at(kStart + i * 4000);
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract)");
  EXPECT_EQ(progress.current_progress(), 6u);
  EXPECT_EQ(window().position, 6u);
  EXPECT_EQ(log.lines().size(), 1u);  // only the second step left time to show
}

TEST_F(ProgressFixture, ResetRestartsTheClockAndKeepsTheBaseTitle) {
  progress.set_max_progress(100);
  progress.step_progress_at(kStart);
  progress.step_progress_at(kStart + 2000);
  ASSERT_NE(window().caption, L"Fortschritt / Progress (extract)");

  progress.restart();
  EXPECT_EQ(window().position, 0u);
  EXPECT_EQ(progress.current_progress(), 0u);
  // The first step after the reset starts a new clock; the estimate text
  // never becomes part of the base title.
  progress.step_progress_at(kStart + 500'000);
  progress.step_progress_at(kStart + 502'000);
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract) (ETA 00:03:18)");
}

TEST_F(ProgressFixture, HugeEstimatesKeepMoreHourDigits) {
  progress.set_max_progress(4'000'000);
  progress.step_progress_at(kStart);
  progress.step_progress_at(kStart + 2000);  // 4e6 × 2 s − 2 s
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract) (ETA 2222:13:18)");
}

TEST_F(ProgressFixture, FiguresCountBytesAndShowTheCaptionsEstimate) {
  progress.set_max_progress(4);
  progress.set_stage(L"download", 4000);
  EXPECT_EQ(window().figures.stage, L"download");
  progress.step_progress_at(kStart, 1000);
  EXPECT_EQ(window().figures.bytes_done, 1000u);
  EXPECT_EQ(window().figures.bytes_per_second, 0u);
  progress.step_progress_at(kStart + 2000, 1000);  // 4 × 2 s ÷ 1 − 2 s = 6 s
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract) (ETA 00:00:06)");
  EXPECT_EQ(window().figures.seconds_left, 6u);
  // The rate counts from where the clock started: 1000 bytes in 2 s.
  EXPECT_EQ(window().figures.bytes_per_second, 500u);
  EXPECT_EQ(window().figures.bytes_total, 4000u);

  progress.restart();
  progress.step_progress_at(kStart + 9000, 1000);
  EXPECT_EQ(window().figures.bytes_done, 1000u);
  EXPECT_EQ(window().figures.seconds_left, 0u);
}

TEST_F(ProgressFixture, MaximumAloneChangesNothingVisible) {
  progress.set_max_progress(0);
  EXPECT_EQ(window().max, 0u);
  EXPECT_EQ(window().position, 0u);
  EXPECT_EQ(window().caption, L"Fortschritt / Progress (extract)");
  EXPECT_EQ(window().steps, 0u);
}
