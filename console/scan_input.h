// console/scan_input.h: reads menu answers exactly as scanf's conversions
// do, so that an answer is taken from the start of the input and what it
// leaves unread is the next word.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

enum class ScanResult {
  Ok,          // a value was converted
  NoNumber,    // the input does not start with a number; it stays unread
  OutOfRange,  // a number beyond the range of its conversion; value unset
  End,         // end of input before anything could be read
};

// Reads one word as "%s": skips white space, then takes everything up to
// the next white space, whole whatever its length. Returns false at end of
// input with `word` unchanged.
bool ReadWord(FILE* in, std::string* word);

// Reads a decimal as "%f" (infinity and not-a-number are numbers). A value
// beyond single precision is OutOfRange.
ScanResult ReadDecimal(FILE* in, float* value);

// Reads an integer as "%i" (0x hexadecimal, leading-0 octal). A value beyond
// a signed 32-bit integer is OutOfRange.
ScanResult ReadInteger(FILE* in, int32_t* value);
