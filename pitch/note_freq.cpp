#include "pitch/note_freq.h"

#include <cmath>
#include <cstring>

namespace {

struct NoteName {
  const char* text;  // one or two characters
  int semitones;     // above the reference A
};

// "a" is the reference itself, 0 semitones, as is any word not named here.
constexpr NoteName kNotes[] = {
    {"a#", 1}, {"bb", 1}, {"b", 2}, {"c", 3},  {"c#", 4}, {"db", 4}, {"d", 5},   {"d#", 6},
    {"eb", 6}, {"e", 7},  {"f", 8}, {"f#", 9}, {"gb", 9}, {"g", 10}, {"g#", 11}, {"ab", 11},
};

// Compares byte by byte so that nothing after the note's terminator, and
// nothing beyond its third byte, is read.
int Semitones(const char* note) {
  for (const NoteName& name : kNotes) {
    const size_t len = std::strlen(name.text);
    bool same = true;
    for (size_t k = 0; k <= len && same; ++k) same = note[k] == name.text[k];
    if (same) return name.semitones;
  }
  return 0;
}

}  // namespace

double Get_Freq(const char* note, double octave, double cents) {
  const int n = Semitones(note);
  const double ratio = std::pow(2.0, n / 12.0);
  double octave_factor = 1.0;
  if (octave > 0) {
    octave_factor = std::pow(2.0, octave);
  } else if (octave < 0) {
    octave_factor = std::pow(0.5, -octave);
  }
  if (octave_factor == 0.0) octave_factor = 1.0;  // underflow far below range
  const double cent_factor = std::pow(2.0, cents / 1200.0);
  return ((ratio - 1) * 440 + 440) * octave_factor * cent_factor;
}
