// console/stdout_reader.h: whether anyone still reads standard output.
#pragma once

// Sends what stdout holds, then returns true when its reader has gone: a
// write to it has failed, and it leads to a pipe without a reader, a socket
// whose peer has closed or shut down reading, or a terminal that hung up
// (the writes fail with EPIPE, or EIO for the terminal; SIGPIPE must be
// ignored). Returns false for every other stdout, also one whose writes
// fail for another reason (a full disk): its text is lost, but not its
// reader.
bool StdoutReaderGone();
