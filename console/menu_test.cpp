#include "console/menu.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "console/test_util.h"
#include "pitch/note_freq.h"

namespace {

using namespace std::string_literals;  // "..."s keeps zero bytes

// Every session starts by choosing the silent device and short tones.
const std::string kSetup = "s null\nl 0.01\n";

Transcript AfterSetup() {
  Transcript t;
  t.view.device = "null";
  t.Answered("s");
  t.view.length = "0.01";
  t.Answered("l");
  return t;
}

struct MenuCase {
  const char* name;
  std::string input;  // after kSetup
  std::function<void(Transcript&)> expect;
};

std::ostream& operator<<(std::ostream& os, const MenuCase& c) { return os << c.name; }

class MenuTest : public testing::TestWithParam<MenuCase> {};

TEST_P(MenuTest, TranscriptMatches) {
  const MenuCase& c = GetParam();
  Transcript t = AfterSetup();
  c.expect(t);
  const ProgramRun run = RunQuemblet({}, kSetup + c.input);
  EXPECT_EQ(t.text, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, MenuTest,
    testing::Values(
        MenuCase{"note_sharp", "f#\nx\n",
                 [](Transcript& t) {
                   t.view.hz = "739.99";
                   t.Play("739.99");
                 }},
        MenuCase{"preset_keeps_octave", "G6\na\nx\n",
                 [](Transcript& t) {
                   t.view.hz = "82.41";
                   t.view.octave = "-3.00";
                   t.Play("82.41");
                   t.view.hz = "55.00";
                   t.Play("55.00");
                 }},
        MenuCase{"every_preset", "G1 G2 G3 G4 G5 B1 B2 B3 B4 x",
                 [](Transcript& t) {
                   const char* rows[][2] = {
                       {"329.63", "-1.00"}, {"246.94", "-1.00"}, {"196.00", "-2.00"},
                       {"146.83", "-2.00"}, {"110.00", "-2.00"}, {"98.00", "-3.00"},
                       {"73.42", "-3.00"},  {"55.00", "-3.00"},  {"41.20", "-4.00"}};
                   for (const auto& row : rows) {
                     t.view.hz = row[0];
                     t.view.octave = row[1];
                     t.Play(row[0]);
                   }
                 }},
        MenuCase{"typed_frequency", "o 2\nz\n1000\np\na\nx\n",
                 [](Transcript& t) {
                   t.view.octave = "2.00";
                   t.view.hz = "1760.00";
                   t.Answered("o");
                   t.view.frequency_mode = true;
                   t.view.hz = "1000.00";
                   t.Answered("z");
                   t.Play("1000.00");
                   t.view.frequency_mode = false;
                   t.view.hz = "1760.00";
                   t.Play("1760.00");
                 }},
        MenuCase{"octave_limits", "o 7\no -4\no -5\nx\n",
                 [](Transcript& t) {
                   t.Answered("o");
                   t.view.octave = "-4.00";
                   t.view.hz = "27.50";
                   t.Answered("o").Answered("o");
                 }},
        MenuCase{"cents_and_level", "cn 250\nv -3\nv 50\nx\n",
                 [](Transcript& t) {
                   t.view.cents = "100.00";
                   t.view.hz = "466.16";
                   t.Answered("cn");
                   t.view.level = "0";
                   t.view.dbfs = "-inf";
                   t.Answered("v");
                   t.view.level = "50";
                   t.view.dbfs = "-6.02";
                   t.Answered("v");
                 }},
        MenuCase{"rates", "r 0\nr 0x5622\nr 010\nr p\nx\n",
                 [](Transcript& t) {
                   t.Answered("r");
                   t.view.rate = "22050";
                   t.Answered("r");
                   t.view.rate = "8";
                   t.Answered("r");
                   t.Answered("r");
                   t.Play("440.00");
                 }},
        // A device that runs at 48000 Hz behind a plug: the rate changes
        // before the first tone, with a warning, and stays.
        MenuCase{"device_rate", "s plug:'qt_only:48000,1024'\np\np\nx\n",
                 [](Transcript& t) {
                   t.view.device = "plug:'qt_only:48000,1024'";
                   t.Answered("s");
                   t.view.rate = "48000";
                   t.Then(
                        "Frequency = 440.00 Hz\n"
                        "Warning Soundcard Did Not Return Requested Samplerate...this will "
                        "affect tuning\nSamplerate = 48000\n")
                       .Menu();
                   t.Play("440.00");
                 }},
        MenuCase{"help_once", "h\nb\nx\n",
                 [](Transcript& t) {
                   t.Then(kHelp).Menu();
                   t.view.hz = "493.88";
                   t.Play("493.88");
                 }},
        // "c#5": a note name and more is no note.
        MenuCase{"words_sounding_as_a", "cn -100\nA\nhi\nexpo\nc#5\nx\n",
                 [](Transcript& t) {
                   t.view.cents = "-100.00";
                   t.view.hz = "415.30";
                   t.Answered("cn");
                   t.Play("415.30").Play("415.30").Play("415.30").Play("415.30");
                 }},
        MenuCase{"partial_octave", "o 4.5\nx\n",
                 [](Transcript& t) {
                   t.view.octave = "4.00";
                   t.view.hz = "7040.00";
                   t.Answered("o");
                   t.Play("7040.00");  // ".5" is an unknown note
                 }},
        MenuCase{"octave_answered_with_word", "G5\no p\nx\n",
                 [](Transcript& t) {
                   t.view.hz = "110.00";
                   t.view.octave = "-2.00";
                   t.Play("110.00");
                   t.Answered("o");
                   t.Play("110.00");
                 }},
        MenuCase{"infinite_answers", "z inf\np\ncn -inf\nx\n",
                 [](Transcript& t) {
                   t.view.frequency_mode = true;
                   t.view.hz = "inf";
                   t.Answered("z");
                   t.Play("inf");  // held at half the rate: silence
                   t.view.cents = "-100.00";
                   t.Answered("cn");
                 }},
        MenuCase{"tone_too_long", "l 1e9\np\nr 2147483647\nl 1\np\nx\n",
                 [](Transcript& t) {
                   t.view.length = "1000000000.00";
                   t.Answered("l");
                   t.Then(
                        "Frequency = 440.00 Hz\nTone too long: 1000000000.00 seconds at "
                        "44100 Hz is more than 2147483647 frames.\n")
                       .Menu();
                   t.view.rate = "2147483647";
                   t.Answered("r");
                   t.view.length = "1.00";
                   t.Answered("l");
                   t.Then(
                        "Frequency = 440.00 Hz\nTone too long: 1.00 seconds at 2147483647 "
                        "Hz is more than 2147483647 frames.\n")
                       .Menu();
                 }},
        // A zero byte ends the word as it ends a name, and what follows it is
        // read with the word, not as the next one.
        MenuCase{"zero_byte_ends_word", "z 1000\np\0q\nG6\0\nv\0 50\nx\0q\np\n"s,
                 [](Transcript& t) {
                   t.view.frequency_mode = true;
                   t.view.hz = "1000.00";
                   t.Answered("z");
                   t.Play("1000.00");
                   t.view.frequency_mode = false;
                   t.view.hz = "82.41";
                   t.view.octave = "-3.00";
                   t.Play("82.41");
                   t.view.level = "50";
                   t.view.dbfs = "-6.02";
                   t.Answered("v");
                 }},
        MenuCase{"long_word_is_a_note", std::string(100000, 'G') + "\nx\n",
                 [](Transcript& t) { t.Play("440.00"); }},
        MenuCase{"long_file_name", "exp " + std::string(100000, 'f') + "\nx\n",
                 [](Transcript& t) { t.Then(Prompt("exp")).Then(kUnable).Then(kUnable).Menu(); }}),
    [](const testing::TestParamInfo<MenuCase>& info) { return info.param.name; });

// End of input at the menu or at any prompt ends the session with status 0
// right after that prompt, without repeating the last command.
class EndOfInputTest : public testing::TestWithParam<const char*> {};

TEST_P(EndOfInputTest, EndsAtPrompt) {
  const std::string word = GetParam();
  Transcript t = AfterSetup();
  t.Then(Prompt(word));
  const ProgramRun run = RunQuemblet({}, kSetup + word + " \n");
  EXPECT_EQ(t.text, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
}

INSTANTIATE_TEST_SUITE_P(Prompts, EndOfInputTest,
                         testing::Values("", "o", "l", "z", "cn", "s", "r", "v", "exp"));

std::string Le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

std::string WavHeader(uint32_t rate, uint32_t frames) {
  return "RIFF" + Le32(frames * 3 + 36) + "WAVE" + "fmt " + Le32(16) +
         std::string("\x01\x00\x01\x00", 4) + Le32(rate) + Le32(rate * 3) +
         std::string("\x03\x00\x18\x00", 4) + "data" + Le32(frames * 3);
}

struct ExportCase {
  const char* name;
  std::string commands;  // before "exp"
  double hz;
  uint32_t rate;
  uint32_t frames;
  float level;
};

std::ostream& operator<<(std::ostream& os, const ExportCase& c) { return os << c.name; }

class ExportTest : public testing::TestWithParam<ExportCase> {};

TEST_P(ExportTest, FileHoldsHeaderAndTone) {
  const ExportCase& c = GetParam();
  const ScratchDir scratch;
  const std::string path = scratch.Path("tone.wav");
  const ProgramRun run = RunQuemblet({}, c.commands + "\nexp " + path + "\nx\n");
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(std::string::npos, run.out.find("Unable")) << run.out;
  const std::string file = ReadFile(path);
  ASSERT_EQ(44u + c.frames * 3u, file.size());
  EXPECT_EQ(WavHeader(c.rate, c.frames), file.substr(0, 44));
  const std::vector<unsigned char> tone =
      PackedTone(static_cast<float>(c.hz), c.rate, c.frames, c.level);
  EXPECT_TRUE(file.compare(44, std::string::npos, std::string(tone.begin(), tone.end())) == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Tones, ExportTest,
    testing::Values(ExportCase{"note", "s null l 0.5 c#", Get_Freq("c#", 0, 0), 44100, 22050, 25},
                    ExportCase{"preset_with_cents", "s null cn 50 v 80 l 0.25 r 48000 G4",
                               Get_Freq("d", -2, 50), 48000, 12000, 80},
                    ExportCase{"typed_frequency", "z 1234.5 l 0.1 v 100", 1234.5, 44100, 4410, 100},
                    ExportCase{"default_eight_seconds", "", 440, 44100, 352800, 25},
                    ExportCase{"empty", "l 0", 440, 44100, 0, 25},
                    ExportCase{"largest_rate", "l 0 r 1431655765", 440, 1431655765, 0, 25}),
    [](const testing::TestParamInfo<ExportCase>& info) { return info.param.name; });

struct RefusalCase {
  const char* name;
  std::string commands;  // before "exp"
  std::string line;
};

std::ostream& operator<<(std::ostream& os, const RefusalCase& c) { return os << c.name; }

class ExportRefusalTest : public testing::TestWithParam<RefusalCase> {};

// What a WAV header cannot describe is refused with one line, and a file of
// that name is left untouched.
TEST_P(ExportRefusalTest, LeavesExistingFileUntouched) {
  const RefusalCase& c = GetParam();
  const ScratchDir scratch;
  const std::string path = scratch.Path("tone.wav");
  std::ofstream(path) << "keep me";
  const ProgramRun run = RunQuemblet({}, c.commands + "\nexp " + path + "\nx\n");
  EXPECT_NE(std::string::npos, run.out.find(Prompt("exp") + c.line + "Enter 'p'")) << run.out;
  EXPECT_EQ("keep me", ReadFile(path));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ExportRefusalTest,
    testing::Values(RefusalCase{"too_long", "l 40000",
                                "Tone too long: 40000.00 seconds at 44100 Hz is more than "
                                "1431655753 frames, the most a WAV file can hold.\n"},
                    RefusalCase{"rate_beyond_byte_rate_field", "r 2000000000 l 0",
                                "Samplerate too high: 2000000000 Hz is more than 1431655765 Hz, "
                                "the most a WAV file can hold.\n"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// The file device records the note's tone on both channels.
TEST(MenuCaptureTest, NotePlaysItsTone) {
  const ScratchDir scratch;
  const std::string path = scratch.Path("tone.raw");
  const ProgramRun run = RunQuemblet({}, "s file:'" + path + "',raw\nl 0.5\nv 60\ng\nx\n");
  ASSERT_EQ(0, run.status) << run.err;
  ExpectPlayed(ReadFile(path),
               PackedTone(static_cast<float>(Get_Freq("g", 0, 0)), 44100, 22050, 60));
}

// Devices behind a plug that run at one rate only get two tones made at that
// rate, whatever rate was set: 44100 Hz on a device of 48000 Hz with a fixed
// period, and 48000 Hz on a device of 44100 Hz.
TEST(MenuCaptureTest, TonesAreMadeAtTheDevicesRate) {
  const struct {
    const char* commands;
    uint32_t rate;
  } cases[] = {{"s plug:'qt_only:48000,1024'\n", 48000},
               {"r 48000\ns plug:'qt_only:44100'\n", 44100}};
  for (const auto& c : cases) {
    const ScopedCapture capture;
    const ProgramRun run = RunQuemblet({}, std::string(c.commands) + "l 0.1\np\np\nx\n");
    ASSERT_EQ(0, run.status) << run.err;
    const std::string recording = capture.Recording();
    const std::vector<unsigned char> tone = PackedTone(440, c.rate, c.rate / 10);
    ExpectPlayed(recording.substr(0, recording.size() / 2), tone);
    ExpectPlayed(recording.substr(recording.size() / 2), tone);
  }
}

}  // namespace
