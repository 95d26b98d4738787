#include "console/test_util.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return std::remove(path); }

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = testing::TempDir() + "quemblet_test_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a directory like " << pattern;
    return;
  }
  dir_ = pattern + "/";
}

ScratchDir::~ScratchDir() {
  // Depth first, so that each directory is empty when it is removed; links
  // are removed, not followed.
  if (!dir_.empty()) nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

ProgramRun RunQuemblet(const std::vector<std::string>& args, const std::string& input,
                       const RunOptions& options) {
  // Input and stderr are files and stdout a pipe that is read to its end
  // before waiting, so nothing can block however much either side says;
  // stdout is not a file so that a file size limit concerns exports only.
  const ScratchDir scratch;
  const std::string in_path = scratch.Path("in"), err_path = scratch.Path("err");
  std::ofstream(in_path, std::ios::binary) << input;
  std::vector<char*> argv;
  std::string program = QUEMBLET_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  ProgramRun run;
  int out[2] = {-1, -1};
  const bool leaves = options.stdout_kind == StdoutKind::LeavesAfterMenu;
  const bool piped = options.stdout_kind == StdoutKind::Captured ||
                     options.stdout_kind == StdoutKind::BrokenPipe || leaves;
  if (piped && pipe(out) != 0) return run;
  int feed[2] = {-1, -1};  // stdin, given only once the reader has left
  if (leaves && pipe(feed) != 0) return run;
  if (options.stdout_kind == StdoutKind::ShutSocket &&
      (socketpair(AF_UNIX, SOCK_STREAM, 0, out) != 0 || shutdown(out[0], SHUT_RD) != 0))
    return run;
  if (options.stdout_kind == StdoutKind::HungUp) {
    // The terminal's side opened, then its master closed: the kernel hangs it up.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
    out[1] = open(ptsname(master), O_WRONLY | O_NOCTTY);
    close(master);
    if (out[1] < 0) return run;
  }
  if (options.stdout_kind == StdoutKind::BrokenPipe) {
    close(out[0]);  // before the program starts, so that none of its writes is read
    out[0] = -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = leaves ? feed[0] : open(in_path.c_str(), O_RDONLY);
    if (leaves) close(feed[1]);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(err, 2);
    const bool all_closed = options.stdout_kind == StdoutKind::AllClosed;
    if (options.stdout_kind == StdoutKind::Closed || all_closed) {
      close(1);
    } else if (options.stdout_kind == StdoutKind::Full) {
      const int full = open("/dev/full", O_WRONLY);
      if (full < 0) _exit(126);
      dup2(full, 1);
      close(full);
    } else {
      dup2(out[1], 1);
      if (out[0] >= 0) close(out[0]);
      close(out[1]);
    }
    if (options.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    close(in);
    close(err);
    if (all_closed) {
      close(0);
      close(2);
    }
    setenv("ALSA_CONFIG_PATH", QUEMBLET_ALSA_CONFIG, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (out[1] >= 0) close(out[1]);
  if (leaves) {
    // The program waits for its first word once the menu has been sent.
    close(feed[0]);
    char c;
    while (run.out.find(kLastMenuLine) == std::string::npos && read(out[0], &c, 1) == 1)
      run.out += c;
    close(out[0]);
    out[0] = -1;
    if (write(feed[1], input.data(), input.size()) < 0) ADD_FAILURE() << "input not given";
    close(feed[1]);
  }
  if (out[0] >= 0 && options.stdout_kind != StdoutKind::ShutSocket) {
    char buffer[65536];
    ssize_t got = 0;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0)
      run.out.append(buffer, static_cast<size_t>(got));
    close(out[0]);
    out[0] = -1;
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (out[0] >= 0) close(out[0]);  // the shut socket's peer, open until now
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  run.err = ReadFile(err_path);
  return run;
}

const char kTitle[] = "\nQuemblet\n\n";
const char kLastMenuLine[] = "Enter 'x' to exit\n";
const char kUnable[] = "Unable to write to file!\n";

// Written out here, not taken from the program: a word lost from it fails.
const char kHelp[] =
    "Quemblet sounds a reference pitch for tuning: a pure sine wave played on an\n"
    "ALSA sound device as 24-bit audio, or exported to a 24-bit mono WAV file.\n"
    "\n"
    "Direct mode plays one tone and exits:\n"
    "  quemblet <frequency in Hz> <time in seconds> <soundcard device> <level>\n"
    "Only the frequency is needed; the others default to 8 seconds, the device\n"
    "'default' and a level of 25 percent of full scale (0 to 100).\n"
    "Example: quemblet 440 2 default 50\n"
    "Without arguments quemblet shows the menu below; type a word and Enter.\n"
    "\n"
    "Notes, played at once, A = 440 Hz, counted upward from a (c is above a):\n"
    "  a  a# bb  b  c  c# db  d  d# eb  e  f  f# gb  g  g# ab\n"
    "  Any other word plays a. The octave and cent offsets shift every note.\n"
    "Guitar strings, played at once (they set the octave offset too):\n"
    "  G1 e 329.63 Hz  G2 b 246.94 Hz  G3 g 196.00 Hz\n"
    "  G4 d 146.83 Hz  G5 a 110.00 Hz  G6 e  82.41 Hz\n"
    "Bass strings:\n"
    "  B1 g  98.00 Hz  B2 d  73.42 Hz  B3 a  55.00 Hz  B4 e  41.20 Hz\n"
    "Commands:\n"
    "  p    play the current note or frequency\n"
    "  o    octave offset, -4 to 4\n"
    "  l    length in seconds\n"
    "  z    set a frequency in Hz, then p plays it; a note word returns to notes\n"
    "  cn   cent offset, -100 to 100\n"
    "  s    ALSA device name: default, plughw:0,0, null (silent), file:out.raw,raw\n"
    "  r    sample rate in Hz (0 gives 44100)\n"
    "  v    level in percent of full scale, 0 to 100\n"
    "  exp  export the current tone to a 24-bit mono WAV file\n"
    "  h    this help\n"
    "  x    exit\n"
    "\n";

std::string MenuText(const MenuView& v) {
  return std::string(v.frequency_mode ? "Enter 'p' to play the current frequency ("
                                      : "Enter 'p' to play current note (") +
         v.hz + " Hz)\n" + "Enter 'o' to change the octave offset from " + v.octave + "\n" +
         "Enter 'l' to change playback length from " + v.length + " seconds\n" +
         "Enter 'z' to set a specific frequency\n" + "Enter 'cn' to change the cent value from " +
         v.cents + "\n\n" + "Enter 's' to change soundcard device from '" + v.device + "'\n" +
         "Enter 'r' to change the samplerate from " + v.rate + "\n" +
         "Enter 'v' to change output volume from " + v.level + " percent (" + v.dbfs + " dBFS)\n" +
         "Enter 'exp' to export to file\n\n" + "Enter 'h' for help and shortcuts\n" + kLastMenuLine;
}

std::string Prompt(const std::string& word) {
  static const struct {
    const char* word;
    const char* prompt;
  } kPrompts[] = {
      {"o", "Enter -4 to 4, or 0 for no offset\n"},
      {"l", "Enter length in seconds\n"},
      {"z", "Enter frequency in Hz\n"},
      {"cn", "Enter the cents value (-100 to 100)\n"},
      {"s", "Enter soundcard device name\n"},
      {"r", "Enter the samplerate\n"},
      {"v", "Enter output volume in percent of full scale\n"},
      {"exp", "Export will be to a 24-bit wave file\nEnter the filename to write to\n"},
  };
  for (const auto& p : kPrompts) {
    if (word == p.word) return p.prompt;
  }
  return "";
}

Transcript& Transcript::Then(const std::string& printed) {
  text += printed;
  return *this;
}

Transcript& Transcript::Menu() { return Then(MenuText(view)); }

Transcript& Transcript::Answered(const char* word) { return Then(Prompt(word)).Menu(); }

Transcript& Transcript::Play(const std::string& hz) {
  return Then("Frequency = " + hz + " Hz\n").Menu();
}
