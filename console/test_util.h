// console/test_util.h: runs the real quemblet executable for the end-to-end
// tests, with stdin fed from a string, and reads what it wrote.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
// HOME set to the test ALSA configuration.
ProgramRun RunQuemblet(const std::vector<std::string>& args, const std::string& input,
                       const RunOptions& options = {});

// A fresh path in the test's temporary directory, ending in `suffix`.
std::string TempPath(const std::string& suffix);

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The packed block (3 bytes a frame) of `frames` frames of a `hz` Hz tone
// at `rate` Hz and `level` percent, as the program makes it.
std::string PackedTone(double hz, uint32_t rate, int64_t frames, float level);

// Checks a recording of the file device (two interleaved channels of 3-byte
// samples): both channels carry `tone` from its start, cut short by at most
// one device period.
void ExpectPlayed(const std::string& recording, const std::string& tone);
