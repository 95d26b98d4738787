#include "console/menu.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "audio_out/wav_file.h"
#include "console/help.h"
#include "console/scan_input.h"
#include "console/tone_job.h"
#include "console/tone_memory.h"
#include "pitch/note_freq.h"
#include "pitch/tone.h"

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

bool IsRegularFile(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

void UpdateFrequency(ToneSettings& s) {
  if (s.pitch_source == PitchSource::Note)
    s.frequency = static_cast<float>(Get_Freq(s.note, s.octave, s.cents));
}

// The note field holds three characters; Get_Freq never looks further, so
// cutting a longer word does not change its pitch.
void SetNote(ToneSettings& s, const std::string& word) {
  std::strncpy(s.note, word.c_str(), sizeof s.note - 1);
  s.note[sizeof s.note - 1] = '\0';
  s.pitch_source = PitchSource::Note;
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

void SayUnchanged(ScanResult result) {
  if (result == ScanResult::OutOfRange)
    std::puts("That number is out of range; the setting is unchanged.");
}

// Reads a decimal answer, refusing not-a-number (it has no pitch, length or
// level). Returns false at end of input; `ok` tells whether `value` is set.
bool AskDecimal(const char* prompt, float* value, bool* ok) {
  std::puts(prompt);
  float answer = 0;
  const ScanResult result = ReadDecimal(stdin, &answer);
  if (result == ScanResult::End) return false;
  *ok = false;
  if (result == ScanResult::Ok && std::isnan(answer)) {
    std::puts("That is not a number; the setting is unchanged.");
  } else if (result == ScanResult::Ok) {
    *value = answer;
    *ok = true;
  }
  SayUnchanged(result);
  return true;
}

bool AskInteger(const char* prompt, int32_t* value, bool* ok) {
  std::puts(prompt);
  const ScanResult result = ReadInteger(stdin, value);
  if (result == ScanResult::End) return false;
  *ok = result == ScanResult::Ok;
  SayUnchanged(result);
  return true;
}

// Applies one menu word. Returns false when the input ended at a prompt.
bool ApplyWord(ToneSettings& s) {
  const std::string& word = s.command;
  bool ok = false;
  if (word == "p") {
    // plays below
  } else if (word == "o") {
    int32_t octave = 0;
    if (!AskInteger("Enter -4 to 4, or 0 for no offset", &octave, &ok)) return false;
    if (ok && octave >= -4 && octave <= 4) s.octave = octave;
    return true;
  } else if (word == "l") {
    float length = 0;
    if (!AskDecimal("Enter length in seconds", &length, &ok)) return false;
    if (ok && std::isinf(length) && length > 0) {  // -inf is negative: it becomes 0
      std::puts("The length must be a finite number of seconds; the setting is unchanged.");
    } else if (ok) {
      s.length = Limit(length, 0, INFINITY);
    }
    return true;
  } else if (word == "z") {
    const bool more = AskDecimal("Enter frequency in Hz", &s.frequency, &ok);
    s.pitch_source = PitchSource::Frequency;
    return more;
  } else if (word == "cn") {
    float cents = 0;
    if (!AskDecimal("Enter the cents value (-100 to 100)", &cents, &ok)) return false;
    if (ok) s.cents = Limit(cents, -100, 100);
    return true;
  } else if (word == "s") {
    std::puts("Enter soundcard device name");
    return ReadWord(stdin, &s.device);
  } else if (word == "r") {
    int32_t rate = 0;
    if (!AskInteger("Enter the samplerate", &rate, &ok)) return false;
    if (ok && rate < 0) {
      std::puts("The samplerate must be 1 Hz or more; the setting is unchanged.");
    } else if (ok) {
      s.rate = rate == 0 ? kDefaultRate : static_cast<uint32_t>(rate);
    }
    return true;
  } else if (word == "v") {
    float level = 0;
    if (!AskDecimal("Enter output volume in percent of full scale", &level, &ok)) return false;
    if (ok) s.level = Limit(level, 0, 100);
    return true;
  } else if (word == "exp") {
    return ExportTone(s);
  } else if (word == "h" || word == "x") {
    return true;
  } else {
    const TuningPreset* preset =
        std::find_if(std::begin(kTuningPresets), std::end(kTuningPresets),
                     [&word](const TuningPreset& p) { return word == p.word; });
    if (preset != std::end(kTuningPresets)) {
      SetNote(s, preset->note);
      s.octave = preset->octave;
    } else {
      SetNote(s, word);
    }
  }
  UpdateFrequency(s);
  std::printf("Frequency = %.2f Hz\n", s.frequency);
  PlayTone(s);
  return true;
}

}  // namespace

bool ExportTone(ToneSettings& s) {
  std::puts("Export will be to a 24-bit wave file");
  std::puts("Enter the filename to write to");
  if (!ReadWord(stdin, &s.export_file)) return false;
  int64_t frames = 0;
  if (!SizeTone(s, kMaxWavFrames, &frames)) return true;
  if (s.rate > kMaxWavRate) {
    std::printf("Samplerate too high: %u Hz is more than %u Hz, the most a WAV file can hold.\n",
                static_cast<unsigned>(s.rate), static_cast<unsigned>(kMaxWavRate));
    return true;
  }
  // Allocated before the header is written, so that a failure leaves no
  // file behind.
  ToneArrays arrays;
  if (!AllocateToneArrays(frames, &arrays)) {
    std::puts("Not enough memory for this tone; nothing exported.");
    return true;
  }
  const char* path = s.export_file.c_str();
  // A regular file that cannot be opened for writing is left as it was, so
  // it is never this export's to remove.
  const bool ours = access(path, F_OK) != 0 || access(path, W_OK) == 0;
  const int header_written = MAKE_HEADER(path, s.rate, 24, frames);
  UpdateFrequency(s);
  MakeTone(arrays.samples.get(), s.frequency, s.rate, frames, s.level);
  NUM24_TO_CHAR(arrays.samples.get(), arrays.block.get(), frames);
  // WriteFile's count is cut to 32 bits; so is the count it is compared with.
  const int32_t data_written = WriteFile(path, arrays.block.get(), frames, 24);
  // A header cut short, or one that promises more data than the file holds,
  // makes a broken file; the writers have said so, and the file is taken
  // away (a device such as /dev/full is left alone).
  const bool complete = header_written == 1 && data_written == static_cast<int32_t>(frames * 3);
  if (!complete && ours && IsRegularFile(path) && std::remove(path) == 0) {
    std::puts("The incomplete file was removed.");
  }
  return true;
}

int RunMenu(ToneSettings& s) {
  for (;;) {
    if (s.command == "x") return 0;
    UpdateFrequency(s);
    if (s.header == MenuHeader::Title) {
      std::puts("\nQuemblet\n");
    } else if (s.header == MenuHeader::Help) {
      std::fputs(kHelpText, stdout);
    }
    PrintMenu(s);
    if (!ReadWord(stdin, &s.command)) return 0;
    s.header = s.command == "h" ? MenuHeader::Help : MenuHeader::None;
    if (!ApplyWord(s)) return 0;
  }
}
