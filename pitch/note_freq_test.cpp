#include "pitch/note_freq.h"

#include <gtest/gtest.h>

namespace {

struct NoteCase {
  const char* note;
  double octave, cents, hz;
};

std::ostream& operator<<(std::ostream& os, const NoteCase& c) {
  return os << "'" << c.note << "' " << c.octave << " oct " << c.cents << " ct";
}

class GetFreqTest : public testing::TestWithParam<NoteCase> {};

TEST_P(GetFreqTest, MatchesPitch) {
  const NoteCase& c = GetParam();
  EXPECT_NEAR(c.hz, Get_Freq(c.note, c.octave, c.cents), 0.005)
      << "'" << c.note << "' octave " << c.octave << " cents " << c.cents;
}

INSTANTIATE_TEST_SUITE_P(NamesAndTwins, GetFreqTest,
                         testing::Values(NoteCase{"a", 0, 0, 440.00}, NoteCase{"a#", 0, 0, 466.16},
                                         NoteCase{"bb", 0, 0, 466.16}, NoteCase{"b", 0, 0, 493.88},
                                         NoteCase{"c", 0, 0, 523.25}, NoteCase{"c#", 0, 0, 554.37},
                                         NoteCase{"db", 0, 0, 554.37}, NoteCase{"d", 0, 0, 587.33},
                                         NoteCase{"d#", 0, 0, 622.25}, NoteCase{"eb", 0, 0, 622.25},
                                         NoteCase{"e", 0, 0, 659.26}, NoteCase{"f", 0, 0, 698.46},
                                         NoteCase{"f#", 0, 0, 739.99}, NoteCase{"gb", 0, 0, 739.99},
                                         NoteCase{"g", 0, 0, 783.99}, NoteCase{"g#", 0, 0, 830.61},
                                         NoteCase{"ab", 0, 0, 830.61}));

// Texts that are not one of the seventeen names sound as "a".
INSTANTIATE_TEST_SUITE_P(UnknownFallsToA, GetFreqTest,
                         testing::Values(NoteCase{"A", 0, 0, 440.0}, NoteCase{"G", 0, 0, 440.0},
                                         NoteCase{"b#", 0, 0, 440.0}, NoteCase{"e#", 0, 0, 440.0},
                                         NoteCase{"cb", 0, 0, 440.0}, NoteCase{"fb", 0, 0, 440.0},
                                         NoteCase{"abc", 0, 0, 440.0}, NoteCase{"a#x", 0, 0, 440.0},
                                         NoteCase{"", 0, 0, 440.0}, NoteCase{"hi", 0, 0, 440.0},
                                         NoteCase{"A", -1, 0, 220.0},
                                         NoteCase{"b#", 0, 100, 466.16}));

// The guitar and bass strings, and the octave range the menu allows.
INSTANTIATE_TEST_SUITE_P(Octaves, GetFreqTest,
                         testing::Values(NoteCase{"e", -1, 0, 329.63}, NoteCase{"b", -1, 0, 246.94},
                                         NoteCase{"g", -2, 0, 196.00}, NoteCase{"d", -2, 0, 146.83},
                                         NoteCase{"a", -2, 0, 110.00}, NoteCase{"e", -3, 0, 82.41},
                                         NoteCase{"g", -3, 0, 98.00}, NoteCase{"d", -3, 0, 73.42},
                                         NoteCase{"a", -3, 0, 55.00}, NoteCase{"e", -4, 0, 41.20},
                                         NoteCase{"a", 4, 0, 7040.0}, NoteCase{"a", 1, 0, 880.0},
                                         NoteCase{"a", -4, 0, 27.5},
                                         NoteCase{"a", -2000, 0, 440.0}));

INSTANTIATE_TEST_SUITE_P(Cents, GetFreqTest,
                         testing::Values(NoteCase{"a", 0, 100, 466.16},
                                         NoteCase{"a", 0, -100, 415.30},
                                         NoteCase{"g#", 0, 100, 880.0},
                                         NoteCase{"a", -1, -100, 207.65}));

TEST(GetFreqExactTest, ReferencePitchesAreExact) {
  EXPECT_EQ(440.0, Get_Freq("a", 0, 0));
  EXPECT_EQ(110.0, Get_Freq("a", -2, 0));
  EXPECT_EQ(880.0, Get_Freq("a", 1, 0));
}

// The third byte is looked at only when the second is '#' or 'b', so a
// two-byte buffer without room for more must be safe to pass.
TEST(GetFreqExactTest, ReadsNothingAfterTerminator) {
  const char one[2] = {'c', '\0'};
  EXPECT_NEAR(523.25, Get_Freq(one, 0, 0), 0.005);
  const char sharp[3] = {'c', '#', '\0'};
  EXPECT_NEAR(554.37, Get_Freq(sharp, 0, 0), 0.005);
}

}  // namespace
