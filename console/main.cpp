// quemblet: sounds a reference pitch for tuning instruments.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "console/direct_mode.h"
#include "console/menu.h"
#include "console/settings.h"
#include "console/stdout_reader.h"
#include "console/tone_memory.h"

namespace {

// A standard stream that was closed by the caller would be reused by the
// next file or device opened, and the menu's text would land in a WAV file
// or a capture. Hold each closed one on /dev/null instead.
void KeepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  KeepStandardStreamsOpen();
  // A reader that went away, or a file size limit, must fail the write it
  // concerns instead of killing the program: the WAV writer reports its
  // failures, and stdout's reader gone ends the run quietly (StdoutReaderGone).
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  WatchStdoutWrites();

  ToneSettings settings;
  const int64_t memory_budget = ToneMemoryBudget();
  if (argc <= 1) return RunMenu(settings, stdin, memory_budget);
  return RunDirectMode(argc, argv, settings, memory_budget);
}
