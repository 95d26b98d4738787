// console/direct_mode.h: one tone from the command line.
#pragma once
#include <cstdint>

#include "console/exit_status.h"
#include "console/settings.h"

// Parses a number as strtod does and rounds it to the nearest single
// precision value, one that rounds beyond the largest float becoming an
// infinity of its sign. Returns false when `text` does not start with a
// number or is not a number (nan).
bool ParseNumber(const char* text, float* value);

// Runs direct mode on argv[1..4] (frequency, length, device, level; the
// rest is ignored): prints the settings, plays the tone in at most
// `memory_budget` bytes, returns the exit status. The settings are flushed
// before the tone; when stdout's reader has gone (StdoutReaderGone) nothing
// is played and the status is kExitReaderGone. "-h"/"--help" and
// "--version" as argv[1] print and return kExitDone. REQUIRES: argc >= 2.
int RunDirectMode(int argc, char** argv, ToneSettings& settings, int64_t memory_budget);
