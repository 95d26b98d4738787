// console/menu.h: the interactive menu on stdin and stdout.
#pragma once

#include "console/settings.h"

// Shows the menu and applies one word at a time until "x" or the end of
// input; returns the exit status, 0. Note words and presets play at once.
// Device failures end the process (PLAY).
int RunMenu(ToneSettings& settings);

// Asks for a file name and writes the current tone to it as a 24-bit mono
// WAV file. A tone that cannot be made or described by a WAV header is
// refused with one line before anything is written. Returns false when the
// input ended before a file name was read.
bool ExportTone(ToneSettings& settings);
