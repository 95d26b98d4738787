#include "console/scan_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

// Runs `read` on `input` through a real stream and returns what is left.
template <typename Read>
std::string Remainder(const std::string& input, Read read) {
  std::string copy = input;
  FILE* in = fmemopen(copy.data(), copy.size(), "r");
  read(in);
  std::string rest;
  for (int c; (c = std::getc(in)) != EOF;) rest.push_back(static_cast<char>(c));
  std::fclose(in);
  return rest;
}

struct IntegerCase {
  const char* input;
  ScanResult result;
  int32_t value;     // when Ok
  const char* rest;  // left for the next read
};

std::ostream& operator<<(std::ostream& os, const IntegerCase& c) {
  return os << "'" << c.input << "'";
}

class ReadIntegerTest : public testing::TestWithParam<IntegerCase> {};

TEST_P(ReadIntegerTest, ConvertsLikePercentI) {
  const IntegerCase& c = GetParam();
  int32_t value = -12345;
  ScanResult result = ScanResult::End;
  const std::string rest = Remainder(c.input, [&](FILE* in) { result = ReadInteger(in, &value); });
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(result == ScanResult::Ok ? c.value : -12345, value);
  EXPECT_EQ(c.rest, rest);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadIntegerTest,
    testing::Values(
        IntegerCase{"-4\n", ScanResult::Ok, -4, "\n"},
        IntegerCase{"  \n 7 x", ScanResult::Ok, 7, " x"},
        IntegerCase{"4.5\n", ScanResult::Ok, 4, ".5\n"},
        IntegerCase{"0x5622", ScanResult::Ok, 22050, ""}, IntegerCase{"010", ScanResult::Ok, 8, ""},
        IntegerCase{"08", ScanResult::Ok, 0, "8"}, IntegerCase{"-0x10", ScanResult::Ok, -16, ""},
        IntegerCase{"2147483647", ScanResult::Ok, 2147483647, ""},
        IntegerCase{"p\n", ScanResult::NoNumber, 0, "p\n"},
        IntegerCase{"nan", ScanResult::NoNumber, 0, "nan"},
        IntegerCase{"2147483648", ScanResult::OutOfRange, 0, ""},
        IntegerCase{"-2147483649 p", ScanResult::OutOfRange, 0, " p"},
        IntegerCase{"99999999999999999999999", ScanResult::OutOfRange, 0, ""},
        IntegerCase{"", ScanResult::End, 0, ""}, IntegerCase{" \n\t", ScanResult::End, 0, ""}));

struct DecimalCase {
  const char* input;
  ScanResult result;
  float value;  // when Ok; NaN compares by kind
  const char* rest;
};

std::ostream& operator<<(std::ostream& os, const DecimalCase& c) {
  return os << "'" << c.input << "'";
}

class ReadDecimalTest : public testing::TestWithParam<DecimalCase> {};

TEST_P(ReadDecimalTest, ConvertsLikePercentF) {
  const DecimalCase& c = GetParam();
  float value = -12345;
  ScanResult result = ScanResult::End;
  const std::string rest = Remainder(c.input, [&](FILE* in) { result = ReadDecimal(in, &value); });
  EXPECT_EQ(c.result, result);
  if (result == ScanResult::Ok && std::isnan(c.value)) {
    EXPECT_TRUE(std::isnan(value));
  } else {
    EXPECT_EQ(result == ScanResult::Ok ? c.value : -12345, value);
  }
  EXPECT_EQ(c.rest, rest);
}

INSTANTIATE_TEST_SUITE_P(Answers, ReadDecimalTest,
                         testing::Values(DecimalCase{"0.1\n", ScanResult::Ok, 0.1f, "\n"},
                                         DecimalCase{"-3 x", ScanResult::Ok, -3, " x"},
                                         DecimalCase{".5", ScanResult::Ok, 0.5f, ""},
                                         DecimalCase{"1e3", ScanResult::Ok, 1000, ""},
                                         DecimalCase{"0x1p3", ScanResult::Ok, 8, ""},
                                         DecimalCase{"inf", ScanResult::Ok, INFINITY, ""},
                                         DecimalCase{"-Infinity", ScanResult::Ok, -INFINITY, ""},
                                         DecimalCase{"nan", ScanResult::Ok, NAN, ""},
                                         DecimalCase{"1e-50", ScanResult::Ok, 0,
                                                     ""},  // underflow is 0
                                         DecimalCase{"1e39", ScanResult::OutOfRange, 0, ""},
                                         DecimalCase{"-1e39 p", ScanResult::OutOfRange, 0, " p"},
                                         DecimalCase{"p", ScanResult::NoNumber, 0, "p"},
                                         DecimalCase{"", ScanResult::End, 0, ""}));

struct WordCase {
  std::string input;
  bool read;
  std::string word, rest;
};

std::ostream& operator<<(std::ostream& os, const WordCase& c) {
  return os << "'" << c.input.substr(0, 20) << "'";
}

class ReadWordTest : public testing::TestWithParam<WordCase> {};

TEST_P(ReadWordTest, ReadsWholeWord) {
  const WordCase& c = GetParam();
  std::string word = "old";
  bool read = false;
  const std::string rest = Remainder(c.input, [&](FILE* in) { read = ReadWord(in, &word); });
  EXPECT_EQ(c.read, read);
  EXPECT_EQ(c.word, word);
  EXPECT_EQ(c.rest, rest);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ReadWordTest,
    testing::Values(WordCase{"f#\n", true, "f#", "\n"},
                    WordCase{" \n\t exp  tone.wav", true, "exp", "  tone.wav"},
                    WordCase{"last", true, "last", ""},
                    WordCase{std::string("p\0q x", 5), true, std::string("p\0q", 3), " x"},
                    WordCase{std::string(100000, 'w') + " x", true, std::string(100000, 'w'), " x"},
                    WordCase{"", false, "old", ""}, WordCase{" \n ", false, "old", ""}));

}  // namespace
