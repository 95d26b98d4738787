#include "console/direct_mode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/exit_status.h"
#include "console/test_util.h"

namespace {

std::string Settings(const std::string& device, const char* hz, const char* sec,
                     const char* level) {
  return "Quemblet Direct Mode\n\tSoundcard:\t" + device + "\n\tFrequency:\t" + hz +
         " Hz\n\tDuration:\t" + sec + " sec\n\tLevel:\t" + level + " percent\n";
}

const char kUsage[] =
    "Usage: quemblet <frequency in Hz> <time in seconds> <soundcard device> <level>\n";

struct DirectCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err{};
};

std::ostream& operator<<(std::ostream& os, const DirectCase& c) { return os << c.name; }

class DirectModeTest : public testing::TestWithParam<DirectCase> {};

TEST_P(DirectModeTest, PrintsExactly) {
  const DirectCase& c = GetParam();
  const ProgramRun run = RunQuemblet(c.args, "p\n");  // stdin must not be read
  EXPECT_EQ(c.out, run.out);
  EXPECT_EQ(c.err, run.err);
  EXPECT_EQ(c.status, run.status);
}

const std::string kLongDevice = "qt_a_device_name_longer_than_31_characters";

INSTANTIATE_TEST_SUITE_P(
    Arguments, DirectModeTest,
    testing::Values(
        DirectCase{"four_args",
                   {"440", "2", "null", "50"},
                   0,
                   Settings("null", "440.00", "2.00", "50.00")},
        DirectCase{
            "one_arg_on_default", {"1000"}, 0, Settings("default", "1000.00", "8.00", "25.00")},
        DirectCase{"two_args_on_default",
                   {"440", "0.1"},
                   0,
                   Settings("default", "440.00", "0.10", "25.00")},
        DirectCase{"extra_args_ignored",
                   {"440", "0.1", "null", "50", "x", "y"},
                   0,
                   Settings("null", "440.00", "0.10", "50.00")},
        DirectCase{"negative_length",
                   {"440", "-3", "null"},
                   0,
                   Settings("null", "440.00", "0.00", "25.00")},
        DirectCase{"level_above",
                   {"440", "0.1", "null", "250"},
                   0,
                   Settings("null", "440.00", "0.10", "100.00")},
        DirectCase{"level_below",
                   {"440", "0.1", "null", "-5"},
                   0,
                   Settings("null", "440.00", "0.10", "0.00")},
        DirectCase{"above_nyquist",
                   {"30000", "0.1", "null"},
                   0,
                   Settings("null", "30000.00", "0.10", "25.00")},
        DirectCase{"negative_hz",
                   {"-440", "0.1", "null"},
                   0,
                   Settings("null", "-440.00", "0.10", "25.00")},
        DirectCase{"hex_and_inf",
                   {"0x1B8", "0.1", "null", "inf"},
                   0,
                   Settings("null", "440.00", "0.10", "100.00")},
        DirectCase{
            "huge_hz", {"1e300", "0.1", "null"}, 0, Settings("null", "inf", "0.10", "25.00")},
        DirectCase{"long_device_held_whole",
                   {"440", "0.1", kLongDevice},
                   0,
                   Settings(kLongDevice, "440.00", "0.10", "25.00")},
        DirectCase{"other_rate",
                   {"440", "0.5", "plug:'qt_only:48000,1024'"},
                   0,
                   Settings("plug:'qt_only:48000,1024'", "440.00", "0.50", "25.00") +
                       "Warning Soundcard Did Not Return Requested Samplerate...this will "
                       "affect tuning\nSamplerate = 48000\n"},
        DirectCase{"underrun",
                   {"440", "2", "qt_xrun"},
                   0,
                   Settings("qt_xrun", "440.00", "2.00", "25.00") + "RX\n"},
        DirectCase{"no_such_device",
                   {"440", "0.1", "no_such_device_q"},
                   1,
                   Settings("no_such_device_q", "440.00", "0.10", "25.00"),
                   "unable to open pcm device: No such file or directory\n"},
        DirectCase{"format_refused",
                   {"440", "0.1", "qt_s16only"},
                   1,
                   Settings("qt_s16only", "440.00", "0.10", "25.00") +
                       "Try a different soundcard device name.\n",
                   "Unable to set playback format: Invalid argument\n"},
        DirectCase{"hw_params_fail",
                   {"440", "0.1", "qt_hwfail"},
                   1,
                   Settings("qt_hwfail", "440.00", "0.10", "25.00"),
                   "unable to set hw parameters: Input/output error\n"},
        DirectCase{"infinite_length",
                   {"440", "inf", "null"},
                   kExitRefused,
                   Settings("null", "440.00", "inf", "25.00") +
                       "The length must be a finite number of seconds; no tone made.\n"},
        DirectCase{"too_many_frames",
                   {"440", "1e9", "null"},
                   kExitRefused,
                   Settings("null", "440.00", "1000000000.00", "25.00") +
                       "Tone too long: 1000000000.00 seconds at 44100 Hz is more than "
                       "2147483647 frames.\n"},
        DirectCase{"text_frequency",
                   {"abc"},
                   kExitUsage,
                   std::string("The frequency 'abc' is not a number.\n") + kUsage},
        DirectCase{"empty_frequency",
                   {""},
                   kExitUsage,
                   std::string("The frequency '' is not a number.\n") + kUsage},
        DirectCase{"nan_frequency",
                   {"nan", "1", "null"},
                   kExitUsage,
                   std::string("The frequency 'nan' is not a number.\n") + kUsage},
        DirectCase{"nan_length",
                   {"440", "NaN", "null"},
                   kExitUsage,
                   std::string("The length 'NaN' is not a number.\n") + kUsage},
        DirectCase{"text_level",
                   {"440", "1", "null", "loud"},
                   kExitUsage,
                   std::string("The level 'loud' is not a number.\n") + kUsage}),
    [](const testing::TestParamInfo<DirectCase>& info) { return info.param.name; });

TEST(DirectModeHelpTest, HelpAndVersion) {
  for (const char* flag : {"-h", "--help"}) {
    const ProgramRun run = RunQuemblet({flag}, "");
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(kHelp, run.out);
    EXPECT_EQ("", run.err);
  }
  const ProgramRun version = RunQuemblet({"--version"}, "");
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(std::string("quemblet ") + QUEMBLET_VERSION_FOR_TEST + "\n", version.out);
}

// The file device records the tone of the arguments, at level 50, on both
// channels; one argument plays 8 s at level 25 on "default". A device behind
// a plug that runs at 48000 Hz only gets a tone made at 48000 Hz.
TEST(DirectModeCaptureTest, PlaysTheToneOfTheArguments) {
  const ScratchDir scratch;
  const std::string path = scratch.Path("tone.raw");
  const ProgramRun run = RunQuemblet({"441", "0.1", "file:'" + path + "',raw", "50"}, "");
  ASSERT_EQ(0, run.status) << run.err;
  ExpectPlayed(ReadFile(path), PackedTone(441, 44100, 4410, 50));
  {
    const ScopedCapture capture;
    ASSERT_EQ(0, RunQuemblet({"1000"}, "").status);
    ExpectPlayed(capture.Recording(), PackedTone(1000, 44100, 352800, 25));
  }
  const ScopedCapture capture;
  ASSERT_EQ(0, RunQuemblet({"440", "0.1", "plug:'qt_only:48000,1024'"}, "").status);
  ExpectPlayed(capture.Recording(), PackedTone(440, 48000, 4800, 25));
}

}  // namespace
