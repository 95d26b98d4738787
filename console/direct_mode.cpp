#include "console/direct_mode.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/help.h"
#include "console/stdout_reader.h"
#include "console/tone_job.h"

#ifndef QUEMBLET_VERSION
#define QUEMBLET_VERSION "unknown"
#endif

namespace {

// 2^128 - 2^103, halfway between FLT_MAX and the next power of two.
constexpr double kFloatOverflow = 0x1.ffffffp127;

int RefuseArgument(const char* what, const char* text) {
  std::printf("The %s '%s' is not a number.\n", what, text);
  std::printf("Usage: %s\n", kUsageLine);
  return kExitUsage;
}

}  // namespace

bool ParseNumber(const char* text, float* value) {
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (end == text || std::isnan(parsed)) return false;
  // Rounded to nearest as the hardware would, but without converting a value
  // beyond the float range, which C++ leaves undefined: magnitudes from the
  // halfway point between FLT_MAX and 2^128 up round to infinity, smaller
  // ones beyond FLT_MAX round down to it.
  const double magnitude = std::fabs(parsed);
  const float sign = parsed < 0 ? -1.0f : 1.0f;
  if (magnitude >= kFloatOverflow) {
    *value = sign * INFINITY;
  } else if (magnitude > FLT_MAX) {
    *value = sign * FLT_MAX;
  } else {
    *value = static_cast<float>(parsed);
  }
  return true;
}

int RunDirectMode(int argc, char** argv, ToneSettings& settings, int64_t memory_budget) {
  const char* first = argv[1];
  if (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0) {
    std::fputs(kHelpText, stdout);
    return kExitDone;
  }
  if (std::strcmp(first, "--version") == 0) {
    std::puts("quemblet " QUEMBLET_VERSION);
    return kExitDone;
  }
  if (!ParseNumber(first, &settings.frequency)) return RefuseArgument("frequency", first);
  settings.pitch_source = PitchSource::Frequency;  // played as given, no note
  if (argc > 2) {
    if (!ParseNumber(argv[2], &settings.length)) return RefuseArgument("length", argv[2]);
    settings.length = Limit(settings.length, 0, INFINITY);
  }
  if (argc > 3) settings.device = argv[3];
  if (argc > 4) {
    if (!ParseNumber(argv[4], &settings.level)) return RefuseArgument("level", argv[4]);
    settings.level = Limit(settings.level, 0, 100);
  }

  std::puts("Quemblet Direct Mode");
  std::printf("\tSoundcard:\t%s\n", settings.device.c_str());
  std::printf("\tFrequency:\t%.2f Hz\n", settings.frequency);
  std::printf("\tDuration:\t%.2f sec\n", settings.length);
  std::printf("\tLevel:\t%.2f percent\n", settings.level);
  // Shown before the tone is heard; nobody to show them to ends the run, as
  // it ends the menu.
  if (StdoutReaderGone()) return kExitReaderGone;
  return PlayTone(settings, memory_budget) ? kExitDone : kExitRefused;
}
