// console/menu.h: the interactive menu.
#pragma once
#include <cstdint>
#include <cstdio>

#include "console/settings.h"

// Shows the menu on stdout and applies one word of `in` at a time until "x"
// or the end of input, then returns kExitDone. Before each read from `in`
// it flushes stdout; when stdout's reader has gone (StdoutReaderGone) it
// returns kExitReaderGone instead, printing nothing more. Note words and
// presets play at once; every tone may take at most `memory_budget` bytes.
// Device failures end the process (PLAY).
int RunMenu(ToneSettings& settings, FILE* in, int64_t memory_budget);
