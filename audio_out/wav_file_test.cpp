#include "audio_out/wav_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "audio_out/test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadBytes(const std::string& path) {
  const std::string file = ReadFile(path);
  return Bytes(file.begin(), file.end());
}

struct Decon4Case {
  int64_t value;
  Bytes bytes;
};

std::ostream& operator<<(std::ostream& os, const Decon4Case& c) { return os << c.value; }

class Decon4Test : public testing::TestWithParam<Decon4Case> {};

TEST_P(Decon4Test, LittleEndian) {
  Bytes out(4, 0xAA);
  Decon4(GetParam().value, out.data());
  EXPECT_EQ(GetParam().bytes, out);
}

INSTANTIATE_TEST_SUITE_P(Values, Decon4Test,
                         testing::Values(Decon4Case{0, {0, 0, 0, 0}},
                                         Decon4Case{36, {0x24, 0, 0, 0}},
                                         Decon4Case{44100, {0x44, 0xac, 0, 0}},
                                         Decon4Case{0x12345678, {0x78, 0x56, 0x34, 0x12}},
                                         Decon4Case{4294967295LL, {0xff, 0xff, 0xff, 0xff}}));

TEST(Decon2Test, LittleEndian) {
  Bytes out(2);
  Decon2(0x1803, out.data());
  EXPECT_EQ((Bytes{0x03, 0x18}), out);
}

struct HeaderCase {
  const char* name;
  uint32_t rate;
  int64_t frames;
  Bytes header;
};

std::ostream& operator<<(std::ostream& os, const HeaderCase& c) { return os << c.name; }

class HeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTest, WritesFortyFourBytes) {
  const HeaderCase& c = GetParam();
  const ScopedTempFile temp(".wav");
  const std::string& path = temp.path();
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, MAKE_HEADER(path.c_str(), c.rate, 24, c.frames));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ(c.header, ReadBytes(path));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HeaderTest,
    testing::Values(HeaderCase{"eight_seconds",
                               44100,
                               352800,
                               {0x52, 0x49, 0x46, 0x46, 0x84, 0x26, 0x10, 0x00, 0x57, 0x41, 0x56,
                                0x45, 0x66, 0x6d, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                                0x01, 0x00, 0x44, 0xac, 0x00, 0x00, 0xcc, 0x04, 0x02, 0x00, 0x03,
                                0x00, 0x18, 0x00, 0x64, 0x61, 0x74, 0x61, 0x60, 0x26, 0x10, 0x00}},
                    HeaderCase{
                        "empty", 48000, 0, {0x52, 0x49, 0x46, 0x46, 0x24, 0x00, 0x00, 0x00, 0x57,
                                            0x41, 0x56, 0x45, 0x66, 0x6d, 0x74, 0x20, 0x10, 0x00,
                                            0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80, 0xbb, 0x00,
                                            0x00, 0x80, 0x32, 0x02, 0x00, 0x03, 0x00, 0x18, 0x00,
                                            0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00}}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

Bytes Ramp(int64_t frames) {
  Bytes block(static_cast<size_t>(frames) * 3);
  for (size_t k = 0; k < block.size(); ++k) block[k] = static_cast<unsigned char>(k * 7);
  return block;
}

TEST(WriteFileTest, AppendsBlockBehindHeader) {
  const ScopedTempFile temp(".wav");
  const std::string& path = temp.path();
  const Bytes block = Ramp(1000);
  ASSERT_EQ(1, MAKE_HEADER(path.c_str(), 44100, 24, 1000));
  EXPECT_EQ(3000, WriteFile(path.c_str(), block.data(), 1000, 24));
  const Bytes file = ReadBytes(path);
  ASSERT_EQ(3044u, file.size());
  EXPECT_EQ(block, Bytes(file.begin() + 44, file.end()));
}

TEST(WriteFileTest, SecondExportReplacesFirst) {
  const ScopedTempFile temp(".wav");
  const std::string& path = temp.path();
  const Bytes long_block = Ramp(2000), short_block(30, 0x11);
  MAKE_HEADER(path.c_str(), 44100, 24, 2000);
  WriteFile(path.c_str(), long_block.data(), 2000, 24);
  MAKE_HEADER(path.c_str(), 44100, 24, 10);
  WriteFile(path.c_str(), short_block.data(), 10, 24);
  const Bytes file = ReadBytes(path);
  ASSERT_EQ(74u, file.size());
  EXPECT_EQ(short_block, Bytes(file.begin() + 44, file.end()));
}

struct FailureCase {
  const char* name;
  std::string path;
  bool leaves_file;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << c.name; }

class WriteFailureTest : public testing::TestWithParam<FailureCase> {};

// An unopenable path and a device that is always full both report the
// failure instead of claiming success.
TEST_P(WriteFailureTest, ReportsAndReturnsZero) {
  const FailureCase& c = GetParam();
  const Bytes block = Ramp(100);
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, MAKE_HEADER(c.path.c_str(), 44100, 24, 100));
  EXPECT_EQ(0, WriteFile(c.path.c_str(), block.data(), 100, 24));
  EXPECT_EQ("Unable to write to file!\nUnable to write to file!\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ(c.leaves_file, FileExists(c.path));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WriteFailureTest,
    testing::Values(FailureCase{"missing_dir", "/nonexistent_dir_q/tone.wav", false},
                    FailureCase{"empty_name", "", false},
                    FailureCase{"full_disk", "/dev/full", true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// Python's wave module is an independent reader of the format.
TEST(WriteFileTest, PythonWaveReadsItBack) {
  const ScopedTempFile temp(".wav");
  const std::string& path = temp.path();
  const Bytes block = Ramp(4410);
  MAKE_HEADER(path.c_str(), 22050, 24, 4410);
  WriteFile(path.c_str(), block.data(), 4410, 24);
  const std::string script =
      "import sys, wave\n"
      "w = wave.open(sys.argv[1], 'rb')\n"
      "data = w.readframes(w.getnframes())\n"
      "ramp = bytes((k * 7) % 256 for k in range(4410 * 3))\n"
      "ok = (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(),\n"
      "      data == ramp) == (1, 3, 22050, 4410, True)\n"
      "sys.exit(0 if ok else 1)\n";
  const ScopedTempFile script_temp(".py");
  const std::string& script_path = script_temp.path();
  std::ofstream(script_path) << script;
  const std::string command = std::string(QUEMBLET_PYTHON3) + " " + script_path + " " + path;
  EXPECT_EQ(0, std::system(command.c_str()));
}

}  // namespace
