// console/exit_status.h: the statuses the program exits with.
#pragma once

constexpr int kExitDone = 0;  // direct mode played its tone, or the menu ended
// 1: a sound device could not be opened, configured or played on (PLAY
// exits with it, after one line on stderr).
constexpr int kExitUsage = 2;       // direct mode: an argument that is not a number
constexpr int kExitRefused = 3;     // direct mode: a tone that cannot be made or held
constexpr int kExitReaderGone = 4;  // standard output's reader has gone; nothing said
