#include "pitch/tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

std::vector<int64_t> Tone(float hz, uint32_t rate, int64_t count, float level) {
  std::vector<int64_t> samples(static_cast<size_t>(count), -1);
  MakeTone(samples.data(), hz, rate, count, level);
  return samples;
}

// Index one past the last non-zero sample.
int64_t SoundingFrames(const std::vector<int64_t>& s) {
  auto last = std::find_if(s.rbegin(), s.rend(), [](int64_t v) { return v != 0; });
  return static_cast<int64_t>(s.rend() - last);
}

struct LengthCase {
  float hz;
  uint32_t rate;
  int64_t count;
  int64_t tone_frames;  // frames before the silent tail
};

std::ostream& operator<<(std::ostream& os, const LengthCase& c) {
  return os << c.hz << " Hz at " << c.rate << " Hz, " << c.count << " frames";
}

class WholeCycleTest : public testing::TestWithParam<LengthCase> {};

// The tone ends at the last cycle boundary strictly before the count; the
// sample just before it is the last one that can be non-zero.
TEST_P(WholeCycleTest, EndsAtLastCycleBoundary) {
  const LengthCase& c = GetParam();
  std::vector<int64_t> s = Tone(c.hz, c.rate, c.count, 100);
  EXPECT_LE(SoundingFrames(s), c.tone_frames);
  if (c.tone_frames > 0) {
    EXPECT_NE(0, s[static_cast<size_t>(c.tone_frames - 1)]);
  }
  for (int64_t k = c.tone_frames; k < c.count; ++k)
    ASSERT_EQ(0, s[static_cast<size_t>(k)]) << "frame " << k;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, WholeCycleTest,
    testing::Values(LengthCase{440, 44100, 352800, 352699},  // P = 100.227...
                    LengthCase{441, 44100, 352800, 352700},  // exact: last cycle lost
                    LengthCase{441, 44100, 101, 100},        // one cycle and a frame
                    LengthCase{441, 44100, 100, 0},          // exactly one period
                    LengthCase{1, 44100, 22050, 0},          // shorter than a cycle
                    LengthCase{-440, 44100, 4410, 4309},     // 44 cycles exactly: 43 kept
                    LengthCase{1000, 8, 80, 0}));            // Nyquist: all zero

TEST(MakeToneTest, SamplesFollowTheSineFromPhaseZero) {
  std::vector<int64_t> s = Tone(440, 44100, 4410, 25);
  const double step = 440 * 6.283185307179586 / 44100;
  for (size_t k = 0; k < 4309; ++k)
    ASSERT_EQ(static_cast<int64_t>(std::sin(k * step) * 2097152.0), s[k]) << k;
  for (size_t k = 4309; k < 4410; ++k) ASSERT_EQ(0, s[k]) << k;
  EXPECT_EQ(0, s[0]);
}

TEST(MakeToneTest, NegativeFrequencyEqualsPositive) {
  EXPECT_EQ(Tone(440, 44100, 44100, 50), Tone(-440, 44100, 44100, 50));
}

struct PeakCase {
  float hz, level;
  int64_t max, min;
};

std::ostream& operator<<(std::ostream& os, const PeakCase& c) {
  return os << c.hz << " Hz level " << c.level;
}

class PeakTest : public testing::TestWithParam<PeakCase> {};

TEST_P(PeakTest, StaysWithin24Bits) {
  const PeakCase& c = GetParam();
  std::vector<int64_t> s = Tone(c.hz, 44100, 352800, c.level);
  EXPECT_EQ(c.max, *std::max_element(s.begin(), s.end()));
  EXPECT_EQ(c.min, *std::min_element(s.begin(), s.end()));
}

INSTANTIATE_TEST_SUITE_P(Levels, PeakTest,
                         testing::Values(PeakCase{440, 25, 2097151, -2097151},
                                         PeakCase{441, 25, 2097152, -2097152},
                                         PeakCase{441, 100, 8388607, -8388608},  // +2^23 is clamped
                                         PeakCase{441, 0, 0, 0}));

TEST(MakeToneTest, FullScalePeakAtQuarterCycle) {
  std::vector<int64_t> s = Tone(441, 44100, 1000, 100);
  EXPECT_EQ(8388607, s[25]);
  EXPECT_EQ(-8388608, s[75]);
  EXPECT_EQ(8388607, s[125]);
}

// Tones the generator cannot make come back as silence, and promptly.
struct SilentCase {
  const char* what;
  float hz;
  uint32_t rate;
  int64_t count;
  float level;
};

std::ostream& operator<<(std::ostream& os, const SilentCase& c) { return os << c.what; }

class SilentTest : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentTest, GivesSilence) {
  const SilentCase& c = GetParam();
  std::vector<int64_t> s = Tone(c.hz, c.rate, c.count, c.level);
  EXPECT_EQ(c.count, std::count(s.begin(), s.end(), 0)) << c.what;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(Unmakeable, SilentTest,
                         testing::Values(SilentCase{"zero Hz", 0, 44100, 4410, 25},
                                         SilentCase{"NaN Hz", kNaN, 44100, 4410, 25},
                                         SilentCase{"below rate/2^31", 1e-5f, 44100, 4410, 25},
                                         SilentCase{"denormal Hz", 1e-40f, 44100, 4410, 25},
                                         SilentCase{"infinite Hz is Nyquist", kInf, 44100, 4410,
                                                    25},
                                         SilentCase{"above Nyquist", 30000, 44100, 4410, 25},
                                         SilentCase{"NaN level", 440, 44100, 4410, kNaN},
                                         SilentCase{"infinite level", 440, 44100, 4410, kInf},
                                         SilentCase{"rate 0", 440, 0, 4410, 25},
                                         SilentCase{"one frame", 440, 44100, 1, 25}));

// Counts at the generator's 2^31 limit need a large buffer; one of 2^31
// frames would take 16 GiB, so check the search on the cycle arithmetic
// with a very low frequency instead: a period longer than the block.
TEST(MakeToneTest, PeriodBeyondLimitGivesSilence) {
  std::vector<int64_t> s = Tone(0.00002f, 44100, 1000, 25);
  EXPECT_EQ(1000, std::count(s.begin(), s.end(), 0));
}

TEST(MakeToneTest, NothingWrittenForEmptyCount) {
  std::vector<int64_t> s(4, 7);
  MakeTone(s.data(), 440, 44100, 0, 25);
  MakeTone(s.data(), 440, 44100, -5, 25);
  EXPECT_EQ(std::vector<int64_t>(4, 7), s);
}

struct PackCase {
  int64_t sample;
  unsigned char b0, b1, b2;
};

std::ostream& operator<<(std::ostream& os, const PackCase& c) { return os << c.sample; }

class PackTest : public testing::TestWithParam<PackCase> {};

TEST_P(PackTest, LittleEndianTwosComplement) {
  const PackCase& c = GetParam();
  unsigned char block[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  NUM24_TO_CHAR(&c.sample, block, 1);
  EXPECT_EQ(c.b0, block[0]);
  EXPECT_EQ(c.b1, block[1]);
  EXPECT_EQ(c.b2, block[2]);
  EXPECT_EQ(0xAA, block[3]);  // nothing beyond the frame
}

INSTANTIATE_TEST_SUITE_P(
    Values, PackTest,
    testing::Values(PackCase{0, 0x00, 0x00, 0x00}, PackCase{1, 0x01, 0x00, 0x00},
                    PackCase{-1, 0xFF, 0xFF, 0xFF}, PackCase{8388607, 0xFF, 0xFF, 0x7F},
                    PackCase{-8388608, 0x00, 0x00, 0x80}, PackCase{0x123456, 0x56, 0x34, 0x12}));

TEST(PackTest, FramesFollowEachOther) {
  const int64_t samples[2] = {0x010203, -2};
  unsigned char block[7] = {};
  block[6] = 0x55;
  NUM24_TO_CHAR(samples, block, 2);
  const unsigned char want[7] = {0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0x55};
  EXPECT_TRUE(std::equal(want, want + 7, block));
  NUM24_TO_CHAR(samples, block, 0);
  NUM24_TO_CHAR(samples, block, -1);
  EXPECT_TRUE(std::equal(want, want + 7, block));
}

}  // namespace
