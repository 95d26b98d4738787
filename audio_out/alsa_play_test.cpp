#include "audio_out/alsa_play.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio_out/test_util.h"

// The test devices (qt_*) come from the tests' own ALSA configuration,
// which alsa-lib reads because the tests run with ALSA_CONFIG_PATH set to it.

namespace {

struct CaptureCase {
  const char* name;
  int64_t frames;
  int64_t sent;  // all but what is left once a period (1024) or less remains
};

std::ostream& operator<<(std::ostream& os, const CaptureCase& c) { return os << c.name; }

class FileCaptureTest : public testing::TestWithParam<CaptureCase> {};

// The file device records the interleaved frames it was given: left and
// right must both be the block, cut short by at most one period.
TEST_P(FileCaptureTest, BothChannelsCarryABlockPrefix) {
  const CaptureCase& c = GetParam();
  const ScopedTempFile temp(".raw");
  const std::string& path = temp.path();
  const std::vector<unsigned char> block = PackedTone(440, 44100, c.frames);
  // Exactly as large as the block, so a read past its end is caught by
  // AddressSanitizer in the sanitizer build.
  std::unique_ptr<unsigned char[]> exact(new unsigned char[block.size()]);
  std::copy(block.begin(), block.end(), exact.get());
  uint32_t rate = 44100;
  const std::string device = "file:'" + path + "',raw";
  testing::internal::CaptureStdout();
  PLAY(device.c_str(), rate, 2, c.frames, exact.get());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ(44100u, rate);

  const std::string raw = ReadFile(path);
  EXPECT_EQ(c.sent * 6, static_cast<int64_t>(raw.size()));
  ExpectPlayed(raw, block);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, FileCaptureTest,
    testing::Values(CaptureCase{"eight_seconds", 352800, 352256},
                    CaptureCase{"odd_length", 5003, 4096}, CaptureCase{"one_period", 1024, 0},
                    CaptureCase{"one_frame_more", 1025, 1025}, CaptureCase{"empty", 0, 0}),
    [](const testing::TestParamInfo<CaptureCase>& info) { return info.param.name; });

TEST(PlayTest, NullDeviceAcceptsTone) {
  const std::vector<unsigned char> block = PackedTone(440, 44100, 44100);
  uint32_t rate = 44100;
  testing::internal::CaptureStdout();
  PLAY("null", rate, 2, 44100, block.data());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ(44100u, rate);
}

TEST(PlayTest, OtherRateIsWrittenBackWithWarning) {
  const std::vector<unsigned char> block = PackedTone(440, 44100, 8000);
  uint32_t rate = 44100;
  testing::internal::CaptureStdout();
  PLAY("qt_rate48k", rate, 2, 8000, block.data());
  EXPECT_EQ(
      "Warning Soundcard Did Not Return Requested Samplerate...this will affect tuning\n"
      "Samplerate = 48000\n",
      testing::internal::GetCapturedStdout());
  EXPECT_EQ(48000u, rate);

  testing::internal::CaptureStdout();
  PLAY("qt_rate48k", rate, 2, 8000, block.data());
  EXPECT_EQ("", testing::internal::GetCapturedStdout()) << "second tone asks for 48000";
}

struct RateCase {
  const char* device;   // qt_only:RATE[,PERIOD] offers RATE only, periods of PERIOD
  uint32_t asked, own;  // Hz
};

std::ostream& operator<<(std::ostream& os, const RateCase& c) {
  return os << c.asked << " Hz on " << c.device;
}

class DeviceRateTest : public testing::TestWithParam<RateCase> {};

// A tone made at the rate the device itself runs at reaches it unconverted,
// through a plug device too, whose rate converter would round the ratio to
// whole periods (a fixed period of 1024 frames at 48000 Hz, as dmix's and
// JACK's, leaves no exact ratio): the device records the very tone made.
// The rate changes with a warning; a device that takes any rate keeps it.
TEST_P(DeviceRateTest, ToneIsMadeAtTheDevicesRate) {
  const RateCase& c = GetParam();
  const ScopedCapture capture;  // the device opens its capture as it is opened
  uint32_t rate = c.asked;
  testing::internal::CaptureStdout();
  TonePlayback playback(c.device);
  playback.SettleRate(rate);
  EXPECT_EQ(c.asked == c.own ? ""
                             : "Warning Soundcard Did Not Return Requested Samplerate...this will "
                               "affect tuning\nSamplerate = " +
                                   std::to_string(c.own) + "\n",
            testing::internal::GetCapturedStdout());
  ASSERT_EQ(c.own, rate);
  const int64_t frames = rate / 4;
  const std::vector<unsigned char> block = PackedTone(440, rate, frames);
  testing::internal::CaptureStdout();
  playback.Play(rate, 2, frames, block.data());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  ExpectPlayed(capture.Recording(), block);
}

INSTANTIATE_TEST_SUITE_P(Conversions, DeviceRateTest,
                         testing::Values(RateCase{"plug:'qt_only:48000'", 44100, 48000},
                                         RateCase{"plug:'qt_only:48000,1024'", 44100, 48000},
                                         RateCase{"plug:'qt_only:44100'", 48000, 44100},
                                         RateCase{"plug:'qt_only:44100,1024'", 48000, 44100},
                                         RateCase{"plug:'qt_only:96000'", 44100, 96000},
                                         RateCase{"plug:'qt_only:96000,1024'", 44100, 96000},
                                         RateCase{"plug:'qt_only:48000'", 22050, 48000},
                                         RateCase{"plug:'qt_only:48000,1024'", 22050, 48000},
                                         RateCase{"plug:'qt_only:44100'", 8000, 44100},
                                         RateCase{"plug:'qt_only:44100,1024'", 8000, 44100},
                                         RateCase{"plug:qt_fast", 22050, 22050}));

struct UnderrunCase {
  const char* device;
  int64_t frames;
  size_t recorded;  // frames the device was handed
  bool skips;       // the write that failed skips the frames it offered
  const char* printed = "RX\n";
};

std::ostream& operator<<(std::ostream& os, const UnderrunCase& c) {
  return os << c.device << ", " << c.frames << " frames";
}

class UnderrunTest : public testing::TestWithParam<UnderrunCase> {};

// The device underruns once, then takes frames again. Between writes
// (qt_sleep: right after it was suspended and resumed, as a machine that
// slept): the rest of the tone is played, none of it lost, and no more than
// without it. In the feed's last write (qt_xrun_in_write: its second, of
// 2048 frames): the frames it offered are skipped, and what follows the
// recovery is the frames never offered, or the tone's last frame when that
// write offered them all. A device suspended in a write (qt_sleep_in_write,
// mid-tone; qt_sleep_in_last_write, in the feed's last write, then
// reporting an underrun) took none of its frames and gets them again: no
// frame is lost, and only the underrun is reported. The tone then ends as
// any other.
TEST_P(UnderrunTest, IsReportedAndPlaybackCompletes) {
  const UnderrunCase& c = GetParam();
  const ScopedCapture capture;
  const std::vector<unsigned char> block = PackedTone(440, 44100, c.frames);
  uint32_t rate = 44100;
  testing::internal::CaptureStdout();
  PLAY(c.device, rate, 2, c.frames, block.data());
  EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout());
  EXPECT_EQ(c.recorded * 6, capture.Recording().size());
  if (!c.skips) ExpectPlayed(capture.Recording(), block);
}

INSTANTIATE_TEST_SUITE_P(Devices, UnderrunTest,
                         testing::Values(UnderrunCase{"qt_xrun", 88200, 88064, false},
                                         UnderrunCase{"qt_sleep", 88200, 88064, false},
                                         UnderrunCase{"qt_xrun_in_write", 4000, 2048 + 1, true},
                                         UnderrunCase{"qt_xrun_in_write", 5000, 2048 + 904, true},
                                         UnderrunCase{"qt_sleep_in_write", 44100, 44100, false, ""},
                                         UnderrunCase{"qt_sleep_in_last_write", 4000, 4000,
                                                      false}));

struct AlarmCase {
  const char* name;
  const char* device;
  timeval interval, value;  // the caller's timer
};

std::ostream& operator<<(std::ostream& os, const AlarmCase& c) { return os << c.name; }

class CallersAlarmTest : public testing::TestWithParam<AlarmCase> {};

// The caller's SIGALRM handler and timer survive the drain's own: a one-shot
// timer keeps its time; a repeating one that falls due during the drain of
// a real-time device goes on repeating.
TEST_P(CallersAlarmTest, SurvivesTheDrain) {
  const AlarmCase& c = GetParam();
  struct sigaction mine {};
  mine.sa_handler = [](int) {};
  sigemptyset(&mine.sa_mask);
  mine.sa_flags = SA_RESTART;
  struct sigaction before {};
  ASSERT_EQ(0, sigaction(SIGALRM, &mine, &before));
  const itimerval pending{c.interval, c.value};
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &pending, nullptr));
  const std::vector<unsigned char> block = PackedTone(440, 44100, 8820);
  uint32_t rate = 44100;
  PLAY(c.device, rate, 2, 8820, block.data());

  itimerval left{};
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, &left);
  struct sigaction after {};
  sigaction(SIGALRM, &before, &after);
  EXPECT_EQ(mine.sa_handler, after.sa_handler);
  EXPECT_TRUE(timerisset(&left.it_value)) << "the caller's timer was cancelled";
  EXPECT_LE(left.it_value.tv_sec, c.value.tv_sec);
  EXPECT_EQ(c.interval.tv_sec, left.it_interval.tv_sec);
  EXPECT_EQ(c.interval.tv_usec, left.it_interval.tv_usec);
  if (c.interval.tv_usec == 0) {
    EXPECT_GT(left.it_value.tv_sec, c.value.tv_sec / 2) << "a one-shot timer lost its time";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Timers, CallersAlarmTest,
    testing::Values(AlarmCase{"one_shot", "null", {0, 0}, {60, 0}},
                    AlarmCase{"repeating", "qt_realtime", {0, 20000}, {0, 20000}}),
    [](const testing::TestParamInfo<AlarmCase>& info) { return info.param.name; });

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class RealTimeTest : public testing::TestWithParam<const char*> {};

// Devices that play in real time, taking non-interleaved frames only (also
// behind a hooks device, which passes them on), interleaved frames only
// (offering more room than its buffer has), or anything through a plug, one
// whose poll says ready while it has no room, one whose poll is never ready,
// one suspended in the drain, which resumes, and one whose drain fails as
// its stream runs dry, and that answers when asked again: each must get the
// block on both channels (what it records), and PLAY must wait for it to
// play out rather than spin.
TEST_P(RealTimeTest, PlaysBlockOnBothChannelsWithoutSpinning) {
  const ScopedCapture capture;
  const std::vector<unsigned char> block = PackedTone(440, 44100, 44100);
  uint32_t rate = 44100;
  const double cpu_before = CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  PLAY(GetParam(), rate, 2, 44100, block.data());
  const double wall = SecondsSince(start);
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu_before;
  EXPECT_GE(wall, 0.9) << "one second of frames, less one period, must be played out";
  EXPECT_LT(cpu, 0.5 * wall) << "busy waiting on the device";
  ExpectPlayed(capture.Recording(), block);
}

INSTANTIATE_TEST_SUITE_P(Access, RealTimeTest,
                         testing::Values("qt_realtime", "qt_hooks", "qt_interleaved",
                                         "qt_plug_interleaved", "qt_busy_poll", "qt_quiet_poll",
                                         "qt_sleep_in_drain", "qt_drain_fails"));

// At 300 Hz a period (1024 frames) takes 3.4 s to play: a device that slow
// is waited for, through the tone and the drain (most of the run), not
// given up as stuck, and without spinning.
TEST(PlayTest, WaitsForSlowDevice) {
  const std::vector<unsigned char> block = PackedTone(50, 300, 3000);
  uint32_t rate = 300;
  const double cpu_before = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        PLAY("qt_slow", rate, 2, 3000, block.data());
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^$");
  EXPECT_LT(CpuSeconds(RUSAGE_CHILDREN) - cpu_before, 0.5 * SecondsSince(start))
      << "busy waiting on the device";
}

// Runs `play` in a child that is stopped half a second in for 5 s (SIGSTOP,
// then SIGCONT), as Ctrl-Z and fg or a debugger do, and exits as the child
// did. A child not yet reaped keeps its process ID, so the signals cannot
// reach another process, also when the child has ended early.
template <typename Play>
[[noreturn]] void ExitAsHeld(Play play) {
  const pid_t child = fork();
  if (child < 0) std::exit(2);
  if (child == 0) {
    play();
    std::exit(0);
  }
  usleep(500000);
  kill(child, SIGSTOP);
  sleep(5);
  kill(child, SIGCONT);
  int status = 0;
  waitpid(child, &status, 0);
  std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

struct HoldCase {
  const char* name;
  const char* device;
  uint32_t rate;
  int64_t frames;
};

std::ostream& operator<<(std::ostream& os, const HoldCase& c) { return os << c.name; }

class HeldProgramTest : public testing::TestWithParam<HoldCase> {};

// A program held for longer than the stall limit, while it feeds the device,
// while the device plays out the 2 s it was given last, or while a drain
// blocks in the device's own call for 1.5 s, finds a device that is fine
// when it goes on: it plays on.
TEST_P(HeldProgramTest, PlaysOn) {
  const HoldCase& c = GetParam();
  const std::vector<unsigned char> block = PackedTone(50, c.rate, c.frames);
  uint32_t rate = c.rate;
  EXPECT_EXIT(ExitAsHeld([&] { PLAY(c.device, rate, 2, c.frames, block.data()); }),
              testing::ExitedWithCode(0), "^$");
}

INSTANTIATE_TEST_SUITE_P(Phases, HeldProgramTest,
                         testing::Values(HoldCase{"feeding", "qt_realtime", 44100, 88200},
                                         HoldCase{"playing_out", "qt_slow_1000", 1000, 2100},
                                         HoldCase{"in_drain_call", "qt_slow_drain", 44100, 8820}),
                         [](const testing::TestParamInfo<HoldCase>& info) {
                           return info.param.name;
                         });

using DeathMatcher = testing::Matcher<const std::string&>;

struct FailureCase {
  const char* device;
  const char* output_regex;  // the whole of stderr, then of stdout
  int channels = 2;          // asked of PLAY
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
  return os << "device '" << c.device << "', " << c.channels << " channels";
}

class PlayFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(PlayFailureTest, PrintsOneLineAndExitsWithOne) {
  const FailureCase& c = GetParam();
  const std::vector<unsigned char> block = PackedTone(440, 44100, 4410);
  uint32_t rate = 44100;
  EXPECT_EXIT(
      {
        // Unbuffered stderr is written at once, buffered stdout at exit.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        PLAY(c.device, rate, c.channels, 4410, block.data());
      },
      testing::ExitedWithCode(1), DeathMatcher(testing::MatchesRegex(c.output_regex)));
}

// What a device that cannot be given exactly two channels makes PLAY say.
constexpr char kNotTwoChannels[] =
    "unable to set hw parameters: Invalid argument\nTry a different soundcard device name.\n";

INSTANTIATE_TEST_SUITE_P(
    Devices, PlayFailureTest,
    testing::Values(
        FailureCase{"no_such_device_anywhere", "unable to open pcm device: [^\n]+\n"},
        FailureCase{"", "unable to open pcm device: [^\n]+\n"},
        FailureCase{"qt_s16only",
                    "Unable to set playback format: Invalid argument\n"
                    "Try a different soundcard device name.\n"},
        FailureCase{"qt_hwfail", "unable to set hw parameters: Input/output error\n"},
        FailureCase{"qt_mmap_only", "unable to set hw parameters: Invalid argument\n"},
        // Gone while suspended: no resume brings it back, nor is one tried for ever.
        FailureCase{"qt_gone_in_sleep", "unable to play on pcm device: Streams pipe error\n"},
        // Gone, or suspended for good, once the drain has begun: what it
        // held is not played.
        FailureCase{"qt_gone_in_drain", "unable to play on pcm device: Broken pipe\n"},
        FailureCase{"qt_sleep_in_drain_for_good",
                    "unable to play on pcm device: Streams pipe error\n"},
        // Devices of a fixed channel count other than two, and other
        // counts asked of PLAY, which writes two channels only.
        FailureCase{"qt_4ch", kNotTwoChannels}, FailureCase{"qt_4ch_interleaved", kNotTwoChannels},
        FailureCase{"qt_1ch_interleaved", kNotTwoChannels}, FailureCase{"null", kNotTwoChannels, 1},
        FailureCase{"null", kNotTwoChannels, 3}));

struct StuckCase {
  const char* name;
  const char* device;  // qt_stuck stops after 30000 frames
  int64_t frames;
  double limit = 3.0;  // seconds: the run ends after this, and within 1.6 s more
  const char* message = "unable to play on pcm device: Input/output error\n";
};

std::ostream& operator<<(std::ostream& os, const StuckCase& c) { return os << c.name; }

class StuckDeviceTest : public testing::TestWithParam<StuckCase> {};

// A device that stops playing, while being fed, once fed, or when asked to
// drain, is given up 3 s (and its buffer's 46 ms) after it stopped, at most
// a second into the tone: one line on stderr, exit status 1, no spinning.
// So is one whose own call never returns, in the drain or in the open (3 s
// after it began), and one at 600 Hz whose wait sleeps for a period (1.7 s)
// and that stops 1 s in: it takes its last frames as its first wait ends,
// and is given up 3 s and its buffer's 3.4 s later, counted in full while
// it sleeps.
TEST_P(StuckDeviceTest, EndsWithOneLineInBoundedTime) {
  const StuckCase& c = GetParam();
  const std::vector<unsigned char> block = PackedTone(440, 44100, c.frames);
  uint32_t rate = 44100;
  const double cpu_before = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EXIT(PLAY(c.device, rate, 2, c.frames, block.data()), testing::ExitedWithCode(1),
              DeathMatcher(testing::Eq(c.message)));
  const double wall = SecondsSince(start);
  EXPECT_GE(wall, c.limit);
  EXPECT_LT(wall, c.limit + 1.6);
  EXPECT_LT(CpuSeconds(RUSAGE_CHILDREN) - cpu_before, 0.5 * wall) << "busy waiting on the device";
}

INSTANTIATE_TEST_SUITE_P(Phases, StuckDeviceTest,
                         testing::Values(StuckCase{"while_fed", "qt_stuck", 44100},
                                         StuckCase{"after_last_write", "qt_stuck", 31500},
                                         StuckCase{"in_drain", "qt_stuck_in_drain", 44100},
                                         StuckCase{"in_drain_call", "qt_blocked_drain", 44100},
                                         StuckCase{"in_open_call", "qt_blocked_open", 44100, 3.0,
                                                   "unable to open pcm device: Input/output "
                                                   "error\n"},
                                         StuckCase{"slow_wait", "qt_slow_stuck", 12000, 8.1}),
                         [](const testing::TestParamInfo<StuckCase>& info) {
                           return info.param.name;
                         });

struct GoneCase {
  const char* name;
  const char* device;
  int64_t frames;
};

std::ostream& operator<<(std::ostream& os, const GoneCase& c) { return os << c.name; }

class GoneDeviceTest : public testing::TestWithParam<GoneCase> {};

// A device that goes away, as a sound server that is killed, mid-tone or
// as the tone starts: its position and writes fail with EPIPE for ever
// while prepare succeeds. One "RX", then one line and exit status 1, at once
// and without spinning, also when the whole tone fits the device's buffer.
TEST_P(GoneDeviceTest, EndsTheRun) {
  const GoneCase& c = GetParam();
  const ScopedTempFile out(".out");
  const int64_t frames = c.frames;
  const std::vector<unsigned char> block = PackedTone(440, 44100, frames);
  uint32_t rate = 44100;
  const double cpu_before = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) std::exit(2);
        PLAY(c.device, rate, 2, frames, block.data());
      },
      testing::ExitedWithCode(1),
      DeathMatcher(testing::Eq("unable to play on pcm device: Broken pipe\n")));
  const double wall = SecondsSince(start);
  // A device gone at once ends the run in a millisecond or so, too soon to
  // compare.
  EXPECT_LT(CpuSeconds(RUSAGE_CHILDREN) - cpu_before, 0.05 + 0.5 * wall)
      << "busy waiting on the device";
  const std::string printed = ReadFile(out.path());
  EXPECT_EQ(1, std::count(printed.begin(), printed.end(), '\n')) << "one \"RX\", no more";
  EXPECT_EQ(0u, printed.find("RX\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, GoneDeviceTest,
    testing::Values(GoneCase{"mid_tone", "qt_gone", 176400},
                    GoneCase{"at_once_in_one_write", "qt_gone_at_once", 2000},
                    GoneCase{"at_once_with_frames_left", "qt_gone_at_once", 2117}),
    [](const testing::TestParamInfo<GoneCase>& info) { return info.param.name; });

}  // namespace
