#include "console/tone_job.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct FrameCase {
  uint32_t rate;
  float length;
  int64_t frames;
};

std::ostream& operator<<(std::ostream& os, const FrameCase& c) {
  return os << c.rate << " Hz x " << c.length << " s";
}

class FrameCountTest : public testing::TestWithParam<FrameCase> {};

TEST_P(FrameCountTest, SinglePrecisionProduct) {
  const FrameCase& c = GetParam();
  EXPECT_EQ(c.frames, FrameCount(c.rate, c.length));
}

// 44100 x 0.1 is 4410.0000000000005 in double precision but exactly 4410 in
// single; 0.3 s gives 13229.999 in single precision, hence 13229.
INSTANTIATE_TEST_SUITE_P(Products, FrameCountTest,
                         testing::Values(FrameCase{44100, 8, 352800}, FrameCase{44100, 0.1f, 4410},
                                         FrameCase{44100, 2, 88200}, FrameCase{22050, 0.5f, 11025},
                                         FrameCase{44100, 0, 0}));

constexpr int64_t kGiB = int64_t{1} << 30;
const int64_t k32BitBudget = ToneMemoryBudget(16 * kGiB, UINT32_MAX);

struct SizeCase {
  const char* what;
  uint32_t rate;
  float length;
  const ToneUse* use;
  int64_t memory_budget;
  const char* line;  // printed when refused
};

std::ostream& operator<<(std::ostream& os, const SizeCase& c) { return os << c.what; }

class SizeToneTest : public testing::TestWithParam<SizeCase> {};

TEST_P(SizeToneTest, RefusesWhatCannotBeMade) {
  const SizeCase& c = GetParam();
  ToneSettings settings;
  settings.rate = c.rate;
  settings.length = c.length;
  int64_t frames = -7;
  testing::internal::CaptureStdout();
  const bool ok = SizeTone(settings, *c.use, c.memory_budget, &frames);
  EXPECT_EQ(c.line, testing::internal::GetCapturedStdout());
  EXPECT_EQ(*c.line == '\0', ok);
  if (!ok) {
    EXPECT_EQ(-7, frames) << "frames must stay untouched";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SizeToneTest,
    testing::Values(
        SizeCase{"default", 44100, 8, &kPlayUse, kGiB, ""},
        SizeCase{"empty", 44100, 0, &kPlayUse, 0, ""},
        SizeCase{"infinite", 44100, INFINITY, &kPlayUse, kGiB,
                 "The length must be a finite number of seconds; no tone made.\n"},
        SizeCase{"nan", 44100, NAN, &kPlayUse, kGiB,
                 "The length must be a finite number of seconds; no tone made.\n"},
        SizeCase{"2^31 frames", 1, 2147483648.0f, &kPlayUse, INT64_MAX,
                 "Tone too long: 2147483648.00 seconds at 1 Hz is more than 2147483647 frames.\n"},
        SizeCase{"beyond int64", 768000, 1e30f, &kPlayUse, INT64_MAX,
                 "Tone too long: 1000000015047466219876688855040.00 seconds at 768000 Hz is more "
                 "than 2147483647 frames.\n"},
        SizeCase{"beyond WAV", 44100, 40000, &kExportUse, INT64_MAX,
                 "Tone too long: 40000.00 seconds at 44100 Hz is more than 1431655753 frames, the "
                 "most a WAV file can hold.\n"},
        SizeCase{"rate beyond WAV", 1431655766, 0, &kExportUse, INT64_MAX,
                 "Samplerate too high: 1431655766 Hz is more than 1431655765 Hz, the most a WAV "
                 "file can hold.\n"},
        SizeCase{"beyond memory", 44100, 48165, &kPlayUse, 20 * kGiB,
                 "Tone too long: 48165.00 seconds at 44100 Hz needs 21.8 GiB of memory, more than "
                 "the 20.0 GiB a tone may take.\n"},
        // A 32-bit system with 16 GiB: every tone let through has arrays of
        // at most 2^32 - 1 bytes.
        SizeCase{"32-bit sizes", 44100, 8000, &kPlayUse, k32BitBudget, ""},
        SizeCase{"beyond 32-bit sizes", 44100, 9000, &kPlayUse, k32BitBudget,
                 "Tone too long: 9000.00 seconds at 44100 Hz needs 4.1 GiB of memory, more than "
                 "the 4.0 GiB a tone may take.\n"}));

}  // namespace
