// console/test_util.h: the console tests' helpers: a scratch directory that
// is removed with everything in it, the real quemblet executable run on fed
// stdin, and the menu's texts as the end-to-end tests expect them.
// ReadFile, FileExists, PackedTone and ExpectPlayed come from audio_out's.
#pragma once
#include <string>
#include <vector>

#include "audio_out/test_util.h"

// A fresh directory in the test's temporary directory, removed with
// everything in it when it goes out of scope: a test's files go even when a
// failed assertion ends the test early.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // `name` inside the directory; Path("") is the directory itself, with a
  // trailing '/'.
  std::string Path(const std::string& name) const { return dir_ + name; }

 private:
  std::string dir_;  // ends in '/'
};

struct ProgramRun {
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
  int status = -1;  // exit status, or 128 + signal number
};

enum class StdoutKind {
  Captured,         // into ProgramRun::out
  Closed,           // descriptor 1 closed before the program starts
  AllClosed,        // descriptors 0, 1 and 2 closed before the program starts
  Full,             // /dev/full: every write fails, with ENOSPC
  BrokenPipe,       // a pipe whose reading end is already closed
  ShutSocket,       // a socket whose peer, still open, has shut down reading
  HungUp,           // a terminal whose other side has closed: writes fail with EIO
  LeavesAfterMenu,  // a pipe whose reader closes it once it has read the first
                    // menu, before the program is given its input
};

struct RunOptions {
  StdoutKind stdout_kind = StdoutKind::Captured;
  long file_size_limit = -1;  // bytes (RLIMIT_FSIZE), -1 for none
};

// Runs the quemblet built beside the tests with `args`, `input` on stdin and
// ALSA_CONFIG_PATH set to the tests' own ALSA configuration.
ProgramRun RunQuemblet(const std::vector<std::string>& args, const std::string& input,
                       const RunOptions& options = {});

// What the menu shows; the texts are the printed forms.
struct MenuView {
  bool frequency_mode = false;
  std::string hz = "440.00", octave = "0.00", length = "8.00", cents = "0.00";
  std::string device = "default", rate = "44100", level = "25", dbfs = "-12.04";
};

// The menu as printed for `view`, from its first line to kLastMenuLine.
std::string MenuText(const MenuView& view);

extern const char kTitle[];         // above the first menu
extern const char kLastMenuLine[];  // "Enter 'x' to exit\n"
extern const char kUnable[];        // a WAV writer that failed
extern const char kHelp[];          // after "h", and from --help

// The prompt command `word` prints before it reads its answer; "" for a
// word that reads none.
std::string Prompt(const std::string& word);

// The expected stdout of a session, built step by step.
struct Transcript {
  MenuView view;
  std::string text = kTitle + MenuText(view);

  Transcript& Then(const std::string& printed);
  Transcript& Menu();                       // the menu of the current view
  Transcript& Answered(const char* word);   // the prompt of `word`, then the menu
  Transcript& Play(const std::string& hz);  // the frequency line, then the menu
};
