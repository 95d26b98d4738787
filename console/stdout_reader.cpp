#include "console/stdout_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

bool StdoutReaderGone() {
  std::fflush(stdout);
  if (!std::ferror(stdout)) return false;
  // The error flag stays set once a write has failed, but not why: stdio
  // drops what a failed write held, so the flush above may have had nothing
  // left to try, and errno has long been overwritten. The descriptor tells:
  // a pipe without a reader polls as POLLERR, a closed socket or a hung-up
  // terminal as POLLHUP; a full disk as writable.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}
