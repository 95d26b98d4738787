// console/test_util.h: runs the real quemblet executable for the end-to-end
// tests, with stdin fed from a string, and reads what it wrote.
// ReadFile, FileExists, PackedTone and ExpectPlayed come from audio_out's.
#pragma once
#include <string>
#include <vector>

#include "audio_out/test_util.h"

struct ProgramRun {
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
  int status = -1;  // exit status, or 128 + signal number
};

enum class StdoutKind {
  Captured,    // into ProgramRun::out
  Closed,      // descriptor 1 closed before the program starts
  BrokenPipe,  // a pipe whose reading end is already closed
};

struct RunOptions {
  StdoutKind stdout_kind = StdoutKind::Captured;
  long file_size_limit = -1;  // bytes (RLIMIT_FSIZE), -1 for none
};

// Runs the quemblet built beside the tests with `args`, `input` on stdin and
// ALSA_CONFIG_PATH set to the tests' own ALSA configuration.
ProgramRun RunQuemblet(const std::vector<std::string>& args, const std::string& input,
                       const RunOptions& options = {});

// A fresh path in the test's temporary directory, ending in `suffix`.
std::string TempPath(const std::string& suffix);
