#include "console/scan_input.h"

#include <cctype>
#include <cerrno>
#include <cmath>

bool ReadWord(FILE* in, std::string* word) {
  int c;
  do {
    c = std::getc(in);
  } while (c != EOF && std::isspace(c));
  if (c == EOF) return false;
  word->clear();
  while (c != EOF && !std::isspace(c)) {
    word->push_back(static_cast<char>(c));
    c = std::getc(in);
  }
  if (c != EOF) std::ungetc(c, in);  // "%s" leaves the white space unread
  return true;
}

// The library's own conversions decide how much of the answer is a number;
// errno tells an overflow from a typed infinity.
ScanResult ReadDecimal(FILE* in, float* value) {
  float v;
  errno = 0;
  const int got = std::fscanf(in, "%f", &v);
  if (got == EOF) return ScanResult::End;
  if (got != 1) return ScanResult::NoNumber;
  if (errno == ERANGE && std::isinf(v)) return ScanResult::OutOfRange;
  *value = v;
  return ScanResult::Ok;
}

ScanResult ReadInteger(FILE* in, int32_t* value) {
  long long v;  // wide enough to see what "%i" would have cut
  const int got = std::fscanf(in, "%lli", &v);
  if (got == EOF) return ScanResult::End;
  if (got != 1) return ScanResult::NoNumber;
  if (v < INT32_MIN || v > INT32_MAX) return ScanResult::OutOfRange;
  *value = static_cast<int32_t>(v);
  return ScanResult::Ok;
}
