// console/stdout_reader.h: whether anyone still reads standard output.
#pragma once

// Puts stdout on a stream of the program's own over descriptor 1, buffered
// as before (by lines on a terminal, in blocks otherwise), which remembers
// why a write to it failed. Call once, before anything is printed; without
// it, StdoutReaderGone finds no reader gone.
void WatchStdoutWrites();

// Sends what stdout holds, then returns true when its reader has gone: a
// write to it has failed with EPIPE or ECONNRESET (a pipe without a reader,
// a socket whose peer has closed or shut down reading; SIGPIPE must be
// ignored), or it is a terminal that hung up (its writes fail with EIO).
// Any earlier write counts, also one that failed as stdio's buffer filled,
// whose text was dropped. Returns false for every other stdout, also one
// whose writes fail for another reason (a full disk): its text is lost,
// but not its reader.
bool StdoutReaderGone();
