// console/run_program_for_test.h: runs the real quemblet executable for the
// end-to-end tests, with stdin fed from a string.
#pragma once
#include <string>
#include <vector>

struct ProgramRun {
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
  int status = -1;  // exit status, or 128 + signal number
};

// Runs the quemblet built beside the tests with `args`, `input` on stdin and
// HOME set to the test ALSA configuration.
ProgramRun RunQuemblet(const std::vector<std::string>& args, const std::string& input);

// A fresh path in the test's temporary directory, ending in `suffix`.
std::string TempPath(const std::string& suffix);

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
