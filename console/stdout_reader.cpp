#include "console/stdout_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Why the last write to stdout that failed did: 0 while none has. stdio
// keeps only that one has (its error flag), and drops what the write held,
// so a flush afterwards may have nothing left to try and succeed.
int& LastWriteError() {
  static int error = 0;
  return error;
}

ssize_t WriteStdout(void*, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(STDOUT_FILENO, data + done, size - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      LastWriteError() = errno;
      break;
    }
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

void WatchStdoutWrites() {
  const cookie_io_functions_t functions{nullptr, WriteStdout, nullptr, nullptr};
  FILE* watched = fopencookie(nullptr, "w", functions);
  if (watched == nullptr) return;
  if (isatty(STDOUT_FILENO)) setvbuf(watched, nullptr, _IOLBF, BUFSIZ);
  stdout = watched;
  // Sent and freed at exit, after the last line.
  std::atexit([] { std::fclose(stdout); });
}

bool StdoutReaderGone() {
  std::fflush(stdout);
  const int error = LastWriteError();
  if (error == EPIPE || error == ECONNRESET) return true;
  if (error != EIO) return false;
  // A terminal that hung up fails its writes with EIO, as a failing disk
  // does; the descriptor tells them apart: the terminal polls as POLLHUP,
  // the disk as writable.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & POLLHUP) != 0;
}
