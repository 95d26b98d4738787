#include "console/menu.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "console/exit_status.h"
#include "console/help.h"
#include "console/scan_input.h"
#include "console/stdout_reader.h"
#include "console/tone_job.h"

namespace {

struct TuningPreset {
  const char* word;
  const char* note;
  int octave;
};

// Open strings of a six-string guitar (G1 highest) and a four-string bass.
constexpr TuningPreset kTuningPresets[] = {
    {"G1", "e", -1}, {"G2", "b", -1}, {"G3", "g", -2}, {"G4", "d", -2}, {"G5", "a", -2},
    {"G6", "e", -3}, {"B1", "g", -3}, {"B2", "d", -3}, {"B3", "a", -3}, {"B4", "e", -4},
};

constexpr uint32_t kDefaultRate = 44100;

// One run of the menu: the settings it changes, the input it reads and the
// memory a tone may take.
struct Session {
  ToneSettings& settings;
  FILE* in;
  int64_t memory_budget;  // bytes
};

// What the menu does after a command.
enum class Next {
  Menu,        // shows the menu again
  Tone,        // plays the current tone first
  End,         // ends the run: "x", or the input ended at a prompt
  ReaderGone,  // ends the run: nobody reads the menu any more
};

// How a prompt was answered.
enum class Answer {
  Set,        // the value was read
  Unchanged,  // no value: what was typed stays unread, or a line said why
  End,        // the input ended
};

Next After(Answer answer) { return answer == Answer::End ? Next::End : Next::Menu; }

Answer SayUnchanged(ScanResult result) {
  if (result == ScanResult::End) return Answer::End;
  if (result == ScanResult::OutOfRange)
    std::puts("That number is out of range; the setting is unchanged.");
  return Answer::Unchanged;
}

// Reads a decimal answer, refusing not-a-number: it is no pitch, length or
// level.
Answer ReadDecimalAnswer(FILE* in, float* value) {
  float answer;
  const ScanResult result = ReadDecimal(in, &answer);
  if (result != ScanResult::Ok) return SayUnchanged(result);
  if (std::isnan(answer)) {
    std::puts("That is not a number; the setting is unchanged.");
    return Answer::Unchanged;
  }
  *value = answer;
  return Answer::Set;
}

Answer ReadIntegerAnswer(FILE* in, int32_t* value) {
  const ScanResult result = ReadInteger(in, value);
  return result == ScanResult::Ok ? Answer::Set : SayUnchanged(result);
}

Next Play(Session&) { return Next::Tone; }

Next SetOctave(Session& m) {
  int32_t octave;
  const Answer answer = ReadIntegerAnswer(m.in, &octave);
  // Another number is ignored without a word.
  if (answer == Answer::Set && octave >= -4 && octave <= 4) m.settings.octave = octave;
  return After(answer);
}

Next SetLength(Session& m) {
  float length;
  const Answer answer = ReadDecimalAnswer(m.in, &length);
  if (answer != Answer::Set) return After(answer);
  if (std::isinf(length) && length > 0) {
    std::puts("The length must be a finite number of seconds; the setting is unchanged.");
  } else {
    m.settings.length = Limit(length, 0, INFINITY);  // -inf is negative too: 0
  }
  return Next::Menu;
}

Next SetFrequency(Session& m) {
  const Answer answer = ReadDecimalAnswer(m.in, &m.settings.frequency);
  // Also without a new value: the frequency last shown is then the one kept.
  m.settings.pitch_source = PitchSource::Frequency;
  return After(answer);
}

Next SetCents(Session& m) {
  float cents;
  const Answer answer = ReadDecimalAnswer(m.in, &cents);
  if (answer == Answer::Set) m.settings.cents = Limit(cents, -100, 100);
  return After(answer);
}

Next SetDevice(Session& m) { return ReadWord(m.in, &m.settings.device) ? Next::Menu : Next::End; }

Next SetRate(Session& m) {
  int32_t rate;
  const Answer answer = ReadIntegerAnswer(m.in, &rate);
  if (answer != Answer::Set) return After(answer);
  if (rate < 0) {
    std::puts("The samplerate must be 1 Hz or more; the setting is unchanged.");
  } else {
    m.settings.rate = rate == 0 ? kDefaultRate : static_cast<uint32_t>(rate);
  }
  return Next::Menu;
}

Next SetLevel(Session& m) {
  float level;
  const Answer answer = ReadDecimalAnswer(m.in, &level);
  if (answer == Answer::Set) m.settings.level = Limit(level, 0, 100);
  return After(answer);
}

Next Export(Session& m) {
  if (!ReadWord(m.in, &m.settings.export_file)) return Next::End;
  ExportTone(m.settings, m.memory_budget);
  return Next::Menu;
}

Next ShowHelp(Session& m) {
  m.settings.header = MenuHeader::Help;
  return Next::Menu;
}

Next Leave(Session&) { return Next::End; }

struct Command {
  const char* word;
  const char* prompt;  // printed as a line before the answer is read; or none
  Next (*apply)(Session&);
};

// Every command word; any other word is a preset or a note.
constexpr Command kCommands[] = {
    {"p", nullptr, Play},
    {"o", "Enter -4 to 4, or 0 for no offset", SetOctave},
    {"l", "Enter length in seconds", SetLength},
    {"z", "Enter frequency in Hz", SetFrequency},
    {"cn", "Enter the cents value (-100 to 100)", SetCents},
    {"s", "Enter soundcard device name", SetDevice},
    {"r", "Enter the samplerate", SetRate},
    {"v", "Enter output volume in percent of full scale", SetLevel},
    {"exp", "Export will be to a 24-bit wave file\nEnter the filename to write to", Export},
    {"h", nullptr, ShowHelp},
    {"x", nullptr, Leave},
};

// The note field holds three characters; Get_Freq never looks further, so
// cutting a longer word does not change its pitch.
void SetNote(ToneSettings& s, const char* word) {
  std::snprintf(s.note, sizeof s.note, "%s", word);
  s.pitch_source = PitchSource::Note;
}

// A preset sets the note and the octave; any other word is the note.
Next PlayWord(ToneSettings& s, const char* word) {
  const TuningPreset* preset =
      std::find_if(std::begin(kTuningPresets), std::end(kTuningPresets),
                   [word](const TuningPreset& p) { return std::strcmp(word, p.word) == 0; });
  if (preset != std::end(kTuningPresets)) {
    SetNote(s, preset->note);
    s.octave = preset->octave;
  } else {
    SetNote(s, word);
  }
  return Next::Tone;
}

// The word ends at its first zero byte, if any, as the note, device and
// file names do: a C string, as "%s" would have read it. What follows the
// zero byte was read with the word and is dropped with it.
Next ApplyWord(Session& m) {
  const char* word = m.settings.command.c_str();
  const Command* command =
      std::find_if(std::begin(kCommands), std::end(kCommands),
                   [word](const Command& c) { return std::strcmp(word, c.word) == 0; });
  if (command == std::end(kCommands)) return PlayWord(m.settings, word);
  if (command->prompt != nullptr) {
    std::puts(command->prompt);
    if (StdoutReaderGone()) return Next::ReaderGone;
  }
  return command->apply(m);
}

void PrintMenu(const ToneSettings& s) {
  if (s.pitch_source == PitchSource::Frequency) {
    std::printf("Enter 'p' to play the current frequency (%.2f Hz)\n", s.frequency);
  } else {
    std::printf("Enter 'p' to play current note (%.2f Hz)\n", s.frequency);
  }
  std::printf("Enter 'o' to change the octave offset from %.2f\n", s.octave);
  std::printf("Enter 'l' to change playback length from %.2f seconds\n", s.length);
  std::puts("Enter 'z' to set a specific frequency");
  std::printf("Enter 'cn' to change the cent value from %.2f\n\n", s.cents);
  std::printf("Enter 's' to change soundcard device from '%s'\n", s.device.c_str());
  std::printf("Enter 'r' to change the samplerate from %i\n", static_cast<int>(s.rate));
  const float dbfs = 20.0f * log10f(s.level / 100.0f);
  std::printf("Enter 'v' to change output volume from %.0f percent (%.2f dBFS)\n", s.level, dbfs);
  std::puts("Enter 'exp' to export to file\n");
  std::puts("Enter 'h' for help and shortcuts");
  std::puts("Enter 'x' to exit");
}

}  // namespace

int RunMenu(ToneSettings& s, FILE* in, int64_t memory_budget) {
  Session session{s, in, memory_budget};
  for (;;) {
    // The menu shows the frequency, and a "z" answer that is no number
    // keeps the one shown.
    s.frequency = ToneFrequency(s);
    if (s.header == MenuHeader::Title) {
      std::puts("\nQuemblet\n");
    } else if (s.header == MenuHeader::Help) {
      std::fputs(kHelpText, stdout);
    }
    PrintMenu(s);
    // Checked before every read: stdout to a pipe is written only when its
    // buffer fills, so without a flush here a reader that has gone would go
    // unnoticed for as long as the input lasts, forever for an endless one.
    if (StdoutReaderGone()) return kExitReaderGone;
    if (!ReadWord(in, &s.command)) return kExitDone;
    s.header = MenuHeader::None;
    const Next next = ApplyWord(session);
    if (next == Next::End) return kExitDone;
    if (next == Next::ReaderGone) return kExitReaderGone;
    if (next == Next::Tone) {
      std::printf("Frequency = %.2f Hz\n", ToneFrequency(s));
      PlayTone(s, memory_budget);
    }
  }
}
