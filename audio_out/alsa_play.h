// audio_out/alsa_play.h: plays a packed 24-bit block on an ALSA PCM device.
#pragma once
#include <cstdint>

// Opens `device` for blocking playback, asks for S24_3LE on `channels`
// (always 2) at `rate` Hz with periods near 1024 frames and a buffer near
// 2048, and sends `block` (frames x 3 bytes, signed 24-bit little-endian)
// to both channels; up to one period at the end may stay unsent. The channels are
// written non-interleaved where the device offers that itself, and
// interleaved (one device buffer of staging memory) otherwise.
// Returns after the device has played what was sent and is closed. `rate`
// receives the rate the device settled on; when it differs from the one
// asked for, two warning lines go to stdout. An underrun prints "RX" on
// stdout and playback goes on; a suspended device is resumed.
// Ends the process with exit(1) and one message on stderr, within a few
// seconds whatever the device does, when the device cannot be opened,
// refuses the format or exactly two channels (these two also print "Try a
// different soundcard device name." on stdout), refuses its hardware
// parameters, fails while playing, is gone (it fails again before taking a
// frame after an underrun), or stops taking or playing frames for 3 seconds
// beyond the time its buffer takes to play. Keeps alsa-lib's own
// diagnostics off stderr.
// Signals: flushes stdout before the drain, and bounds the drain with a
// SIGALRM timer (ITIMER_REAL) and a handler of its own; the caller's
// handler and timer (less the time the drain took) are restored after it,
// and a timer of the caller's that fell due meanwhile is delivered then.
// With SIGALRM blocked by the caller, the drain is not bounded.
void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block);
