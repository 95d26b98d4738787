// Faults from outside: full disks, file size limits, unwritable places,
// failing sound devices, lost standard output, and numeric answers that are
// not finite or beyond their conversion, at every prompt and argument.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "console/exit_status.h"
#include "console/test_util.h"

namespace {

// The text printed after the first `after` and before the next menu.
std::string Between(const std::string& out, const std::string& after) {
  const size_t start = out.find(after);
  if (start == std::string::npos) return "<" + after + " not found>";
  const size_t body = start + after.size();
  const size_t next = out.find("Enter 'p' to play", body);
  return out.substr(body, next == std::string::npos ? std::string::npos : next - body);
}

struct ExportFaultCase {
  const char* name;
  // Absolute, or a name in the test's scratch directory. A device is
  // written through a link there: a fault that removes what it wrote takes
  // the link, never the device.
  std::string path;
  long file_size_limit;
  std::string printed;    // after the export prompts
  bool file_left;         // the path still names something
  bool replaced = false;  // a regular file the export replaces is there before
};

std::ostream& operator<<(std::ostream& os, const ExportFaultCase& c) { return os << c.name; }

class ExportFaultTest : public testing::TestWithParam<ExportFaultCase> {};

TEST_P(ExportFaultTest, ReportsAndLeavesNoBrokenFile) {
  const ExportFaultCase& c = GetParam();
  const ScratchDir scratch;
  std::string path = c.path[0] == '/' ? c.path : scratch.Path(c.path);
  if (path.rfind("/dev/", 0) == 0) {
    const std::string link = scratch.Path("device.wav");
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
    path = link;
  }
  if (c.replaced) std::ofstream(path) << "an older tone";
  RunOptions options;
  options.file_size_limit = c.file_size_limit;
  const ProgramRun run = RunQuemblet({}, "l 0.5\nexp " + path + "\nx\n", options);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(c.printed, Between(run.out, Prompt("exp")));
  EXPECT_EQ(c.file_left, FileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Places, ExportFaultTest,
    testing::Values(
        ExportFaultCase{"full_disk", "/dev/full", -1, std::string(kUnable) + kUnable, true},
        ExportFaultCase{"missing_directory", "/nonexistent_q/x.wav", -1,
                        std::string(kUnable) + kUnable, false},
        ExportFaultCase{"unwritable_directory", "/proc/quemblet.wav", -1,
                        std::string(kUnable) + kUnable, false},
        ExportFaultCase{"a_directory", "", -1, std::string(kUnable) + kUnable, true},
        ExportFaultCase{"size_limit_in_data_over_a_file", "tone.wav", 10000,
                        std::string(kUnable) + "The incomplete file was removed.\n", false, true},
        ExportFaultCase{"size_limit_in_header", "tone.wav", 20,
                        std::string(kUnable) + kUnable + "The incomplete file was removed.\n",
                        false}),
    [](const testing::TestParamInfo<ExportFaultCase>& info) { return info.param.name; });

struct DeviceFaultCase {
  const char* device;
  int status;
  std::string out_tail;
  std::string err;
};

std::ostream& operator<<(std::ostream& os, const DeviceFaultCase& c) { return os << c.device; }

class MenuDeviceFaultTest : public testing::TestWithParam<DeviceFaultCase> {};

// A failing device ends the program from the menu too; what stdout already
// held is not lost.
TEST_P(MenuDeviceFaultTest, EndsWithMessage) {
  const DeviceFaultCase& c = GetParam();
  const ProgramRun run = RunQuemblet({}, std::string("s ") + c.device + "\nl 1\nb\nx\n");
  EXPECT_EQ(c.status, run.status);
  EXPECT_EQ(c.err, run.err);
  ASSERT_GE(run.out.size(), c.out_tail.size());
  EXPECT_EQ(c.out_tail, run.out.substr(run.out.size() - c.out_tail.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, MenuDeviceFaultTest,
    testing::Values(
        DeviceFaultCase{"no_such_device_q", 1,
                        std::string(kLastMenuLine) + "Frequency = 493.88 Hz\n",
                        "unable to open pcm device: No such file or directory\n"},
        DeviceFaultCase{"qt_s16only", 1,
                        "Frequency = 493.88 Hz\nTry a different soundcard device name.\n",
                        "Unable to set playback format: Invalid argument\n"},
        DeviceFaultCase{"qt_hwfail", 1, std::string(kLastMenuLine) + "Frequency = 493.88 Hz\n",
                        "unable to set hw parameters: Input/output error\n"},
        // Ended by the watchdog, which does not flush stdout itself.
        DeviceFaultCase{"qt_blocked_open", 1,
                        std::string(kLastMenuLine) + "Frequency = 493.88 Hz\n",
                        "unable to open pcm device: Input/output error\n"},
        DeviceFaultCase{"qt_xrun", 0,
                        "Frequency = 493.88 Hz\nRX\n" +
                            [] {
                              MenuView after;
                              after.hz = "493.88";
                              after.length = "1.00";
                              after.device = "qt_xrun";
                              return MenuText(after);
                            }(),
                        ""}));

struct LostStdoutCase {
  const char* name;
  StdoutKind kind;
  bool menu;  // or direct mode
  int status;
  size_t device_length = 0;  // direct mode's device name padded to this length
};

std::ostream& operator<<(std::ostream& os, const LostStdoutCase& c) { return os << c.name; }

class LostStdoutTest : public testing::TestWithParam<LostStdoutCase> {};

// Output that goes nowhere or cannot be written does not stop the program:
// the menu does what it was told, the export is not polluted by its text,
// and direct mode plays. A reader that has gone does: nobody follows the
// menu any more, so the program ends quietly before it reads a word or
// plays, and says so by its status; one that leaves after the first menu,
// before the answer to the next prompt is read. Direct mode's output ends
// in the last line of stdio's buffer with device names of some 4000 and
// 8100 characters: that line's failed write is all there is to tell.
TEST_P(LostStdoutTest, EndsOnlyWhenTheReaderHasGone) {
  const LostStdoutCase& c = GetParam();
  RunOptions options;
  options.stdout_kind = c.kind;
  const ScratchDir scratch;
  const std::string raw = scratch.Path("tone.raw"), wav = scratch.Path("tone.wav");
  std::string device = "file:'" + raw + "',raw";
  const size_t slashes = c.device_length > device.size() ? c.device_length - device.size() : 0;
  device.insert(device.find("tone.raw"), slashes, '/');
  const ProgramRun run =
      c.menu ? RunQuemblet({}, "exp " + wav + "\ns " + device + "\nl 0.1\nh\nG1\nh\nh\nh\nx\n",
                           options)
             : RunQuemblet({"440", "0.1", device}, "", options);
  EXPECT_EQ(c.status, run.status);
  EXPECT_EQ("", run.err);
  const bool done = c.status == kExitDone;
  EXPECT_EQ(done, FileExists(raw)) << "played";
  if (c.menu) {
    EXPECT_EQ(done ? 44u + 352800u * 3u : 0u, ReadFile(wav).size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LostStdoutTest,
    testing::Values(
        LostStdoutCase{"menu_closed", StdoutKind::Closed, true, kExitDone},
        LostStdoutCase{"menu_full", StdoutKind::Full, true, kExitDone},
        LostStdoutCase{"menu_reader_gone", StdoutKind::BrokenPipe, true, kExitReaderGone},
        LostStdoutCase{"menu_reader_shut", StdoutKind::ShutSocket, true, kExitReaderGone},
        LostStdoutCase{"menu_hung_up", StdoutKind::HungUp, true, kExitReaderGone},
        LostStdoutCase{"menu_reader_leaves", StdoutKind::LeavesAfterMenu, true, kExitReaderGone},
        LostStdoutCase{"direct_closed", StdoutKind::Closed, false, kExitDone},
        LostStdoutCase{"direct_full", StdoutKind::Full, false, kExitDone},
        LostStdoutCase{"direct_reader_gone", StdoutKind::BrokenPipe, false, kExitReaderGone},
        LostStdoutCase{"direct_reader_shut_4k", StdoutKind::ShutSocket, false, kExitReaderGone,
                       4010},
        LostStdoutCase{"direct_reader_shut_8k", StdoutKind::ShutSocket, false, kExitReaderGone,
                       8105}),
    [](const testing::TestParamInfo<LostStdoutCase>& info) { return info.param.name; });

// Standard streams closed by the caller are held on /dev/null: a device
// opened later does not take their place, and the lines of its failure do
// not land in its capture.
TEST(ClosedStreamsTest, KeepTheProgramsLinesOutOfTheCapture) {
  const ScratchDir scratch;
  const std::string raw = scratch.Path("tone.raw");
  RunOptions options;
  options.stdout_kind = StdoutKind::AllClosed;
  const ProgramRun run =
      RunQuemblet({"440", "0.1", "file:'" + raw + "',raw,qt_gone_at_once"}, "", options);
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(FileExists(raw));
  EXPECT_EQ("", ReadFile(raw));
}

// Every numeric prompt against answers that are not finite or do not fit
// their conversion: each is limited or refused with one line, and the
// session goes on.
struct AnswerCase {
  const char* prompt_word;
  const char* answer;
  std::string said;     // printed after the prompt
  std::string changed;  // in the menu right after the answer
  size_t menus = 5;     // 6 when the answer is left over and played as a note
};

std::ostream& operator<<(std::ostream& os, const AnswerCase& c) {
  return os << c.prompt_word << " " << c.answer;
}

class NumericAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(NumericAnswerTest, LimitedOrRefused) {
  const AnswerCase& c = GetParam();
  const ProgramRun run = RunQuemblet(
      {}, std::string("s null\n") + c.prompt_word + "\n" + c.answer + "\nl 0.01\np\nx\n");
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  const size_t menus = [&] {
    size_t n = 0;
    for (size_t at = 0; (at = run.out.find(kLastMenuLine, at)) != std::string::npos; ++at) ++n;
    return n;
  }();
  EXPECT_EQ(c.menus, menus) << run.out;
  EXPECT_EQ(c.said, Between(run.out, Prompt(c.prompt_word)));
  const size_t asked = run.out.find(Prompt(c.prompt_word));
  const std::string next_menu = run.out.substr(asked, run.out.find(kLastMenuLine, asked) - asked);
  EXPECT_NE(std::string::npos, next_menu.find(c.changed)) << run.out;
}

const std::string kRange = "That number is out of range; the setting is unchanged.\n";
const std::string kNaN = "That is not a number; the setting is unchanged.\n";
const std::string kInfLength =
    "The length must be a finite number of seconds; the setting is unchanged.\n";
const std::string kNegativeRate =
    "The samplerate must be 1 Hz or more; the setting is unchanged.\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, NumericAnswerTest,
    testing::Values(AnswerCase{"o", "nan", "", "octave offset from 0.00", 6},
                    AnswerCase{"o", "2147483648", kRange, "octave offset from 0.00"},
                    AnswerCase{"o", "-99999999999999999999", kRange, "octave offset from 0.00"},
                    AnswerCase{"l", "nan", kNaN, "length from 8.00"},
                    AnswerCase{"l", "inf", kInfLength, "length from 8.00"},
                    AnswerCase{"l", "-inf", "", "length from 0.00"},
                    AnswerCase{"l", "-0", "", "length from -0.00"},
                    AnswerCase{"l", "1e39", kRange, "length from 8.00"},
                    AnswerCase{"l", "-5", "", "length from 0.00"},
                    AnswerCase{"cn", "-0", "", "cent value from -0.00"},
                    AnswerCase{"v", "-0", "", "volume from -0 percent (-inf dBFS)"},
                    AnswerCase{"z", "nan", kNaN, "current frequency (440.00 Hz)"},
                    AnswerCase{"z", "-inf", "", "current frequency (-inf Hz)"},
                    AnswerCase{"z", "1e39", kRange, "current frequency (440.00 Hz)"},
                    AnswerCase{"z", "-1e-300", "", "current frequency (-0.00 Hz)"},
                    AnswerCase{"cn", "nan", kNaN, "cent value from 0.00"},
                    AnswerCase{"cn", "inf", "", "cent value from 100.00"},
                    AnswerCase{"cn", "-1e39", kRange, "cent value from 0.00"},
                    AnswerCase{"r", "nan", "", "samplerate from 44100", 6},
                    AnswerCase{"r", "-1", kNegativeRate, "samplerate from 44100"},
                    AnswerCase{"r", "4294967295", kRange, "samplerate from 44100"},
                    AnswerCase{"r", "0x7fffffff", "", "samplerate from 2147483647"},
                    AnswerCase{"v", "nan", kNaN, "volume from 25 percent"},
                    AnswerCase{"v", "-inf", "", "volume from 0 percent (-inf dBFS)"},
                    AnswerCase{"v", "inf", "", "volume from 100 percent (0.00 dBFS)"},
                    AnswerCase{"v", "1e39", kRange, "volume from 25 percent"}));

// Direct-mode arguments that are not finite or beyond single precision.
struct ArgumentCase {
  std::vector<std::string> args;
  int status;
  std::string first_line_after_settings;  // or the whole output when refused
};

std::ostream& operator<<(std::ostream& os, const ArgumentCase& c) {
  for (const std::string& a : c.args) os << a << " ";
  return os;
}

class DirectArgumentTest : public testing::TestWithParam<ArgumentCase> {};

TEST_P(DirectArgumentTest, LimitedOrRefused) {
  const ArgumentCase& c = GetParam();
  const ProgramRun run = RunQuemblet(c.args, "");
  EXPECT_EQ(c.status, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_NE(std::string::npos, run.out.find(c.first_line_after_settings)) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DirectArgumentTest,
    testing::Values(
        ArgumentCase{{"inf", "0.1", "null"}, 0, "\tFrequency:\tinf Hz\n"},
        ArgumentCase{{"3.4028235e38", "0.01", "null"},
                     0,
                     "\tFrequency:\t340282346638528859811704183484516925440.00 Hz\n"},
        ArgumentCase{{"-3.4028235677973362e38", "0.01", "null"},
                     0,
                     "\tFrequency:\t-340282346638528859811704183484516925440.00 Hz\n"},
        ArgumentCase{{"3.4028235677973366e38", "0.01", "null"}, 0, "\tFrequency:\tinf Hz\n"},
        ArgumentCase{{"-1e39", "0.1", "null"}, 0, "\tFrequency:\t-inf Hz\n"},
        ArgumentCase{{"440", "-inf", "null"}, 0, "\tDuration:\t0.00 sec\n"},
        ArgumentCase{
            {"440", "-0", "null", "-0"}, 0, "\tDuration:\t-0.00 sec\n\tLevel:\t-0.00 percent\n"},
        ArgumentCase{{"440", "1e39", "null"},
                     kExitRefused,
                     "The length must be a finite number of seconds; no tone made.\n"},
        ArgumentCase{{"440", "0.1", "null", "-inf"}, 0, "\tLevel:\t0.00 percent\n"},
        ArgumentCase{{"440", "0.1", "null", "1e39"}, 0, "\tLevel:\t100.00 percent\n"},
        ArgumentCase{
            {"440", "0.1", "null", "nan"}, kExitUsage, "The level 'nan' is not a number.\n"}));

}  // namespace
