// pitch/note_freq.h: equal-tempered note names to hertz, A = 440 Hz.
#pragma once

// Returns the frequency in Hz of `note` shifted by `octave` octaves and
// `cents` cents. Notes count upward from "a" (0 semitones) to "g#"/"ab"
// (11): a a# bb b c c# db d d# eb e f f# gb g g# ab, case-sensitive. Any
// other text sounds as "a". Reads at most the first three bytes of `note`
// and none after its terminator. No side effects, cannot fail.
double Get_Freq(const char* note, double octave, double cents);
