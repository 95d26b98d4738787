// console/settings.h: everything one run of the program remembers.
#pragma once
#include <cstdint>
#include <string>

// Where the frequency of the next tone comes from.
enum class PitchSource {
  Note,       // Get_Freq(note, octave, cents)
  Frequency,  // the value typed at the "z" prompt
};

// What the menu prints above itself on its next pass.
enum class MenuHeader { Title, Help, None };

// Holds a typed or parsed setting within [low, high]. -0 passes and is shown
// as typed ("-0.00"); not-a-number passes too: callers refuse it.
inline float Limit(float value, float low, float high) {
  if (value > high) return high;
  if (value < low) return low;
  return value;
}

// Owned by main() for the whole run, lent by reference to the modes.
struct ToneSettings {
  char note[4] = "a";     // note text, at most 3 characters
  double octave = 0;      // whole octaves, -4 to 4
  float cents = 0;        // -100 to 100
  float frequency = 220;  // Hz; replaced before first use
  PitchSource pitch_source = PitchSource::Note;
  float length = 8.0f;    // seconds, never negative
  float level = 25.0f;    // percent of full scale, 0 to 100
  uint32_t rate = 44100;  // Hz; playback may replace it
  // Names are held whole: a cut device or file name would open another one.
  std::string device = "default";
  std::string export_file = "tone.wav";
  MenuHeader header = MenuHeader::Title;
  std::string command;  // the last word read at the menu prompt, whole; the
                        // menu takes it up to its first zero byte
};
