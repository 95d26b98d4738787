#include "console/stdout_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

bool StdoutReaderGone() {
  const bool flushed = std::fflush(stdout) == 0;
  // errno is fresh right after a flush that failed: EPIPE says the reader
  // has gone, also from a socket whose peer only shut down reading, which
  // polls as writable.
  if (!flushed && errno == EPIPE) return true;
  if (!std::ferror(stdout)) return false;
  // The error flag stays set once a write has failed, but not why: stdio
  // drops what a failed write held, so the flush above may have had nothing
  // left to try. The descriptor tells: a pipe without a reader polls as
  // POLLERR, a closed socket or a hung-up terminal as POLLHUP; a full disk
  // as writable.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}
