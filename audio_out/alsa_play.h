// audio_out/alsa_play.h: plays a packed 24-bit block on an ALSA PCM device.
#pragma once
#include <cstdint>

// Opens `device` for playback, asks for S24_3LE on `channels` (always 2) at
// `rate` Hz with periods near 1024 frames and a buffer near 2048, and sends
// `block` (frames x kPackedFrameBytes, signed 24-bit little-endian) to both
// channels; up to one period at the end may stay unsent. The channels are
// written non-interleaved where the device offers that itself, and
// interleaved (one device buffer of staging memory) otherwise.
// Returns once the device has played what was sent, and is closed. `rate`
// receives the rate the device settled on; when it differs from the one
// asked for, two warning lines go to stdout. An underrun prints "RX" on
// stdout and playback goes on; a suspended device is resumed, or prepared
// anew when it cannot resume (and may then report one underrun).
// Ends the process with exit(1) and one message on stderr when the device
// cannot be opened, refuses the format or exactly two channels (these two
// also print "Try a different soundcard device name." on stdout), refuses
// its hardware parameters, fails while playing, is gone (it fails again
// after an underrun's recovery before taking a frame, also when that
// recovery came with the tone's last write), or takes no frame, or has not
// played out what it holds after its last, for 3 seconds beyond the time
// its buffer takes to play. That time is counted only while the program
// runs: a program stopped and continued (Ctrl-Z and fg, a debugger) plays
// on.
// Touches no signal and no timer of the process: its own waits are polls
// of the device and sleeps of at most 10 ms, so it ends within a few
// seconds of a device that stops, unless a call into the device never
// returns (the plugin of a sound server that is itself stopped waits for
// it in the drain). Keeps alsa-lib's own diagnostics off stderr.
void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block);

// Learns the rate nearest `rate` Hz at which `device` itself runs, ALSA's own
// rate conversion not counted, so that a tone made at that rate reaches the
// device unconverted and exact. A plug device (plughw, plug:jack, a default
// in front of dmix) runs at the rates of the device behind it; the plugins
// of sound servers, which convert exactly themselves, at any rate. When the
// rate differs, `rate` takes it and the two warning lines of PLAY go to
// stdout. A device that cannot be opened, or that offers no rate for the
// block's layout, leaves `rate` as it is and prints nothing (PLAY then says
// what fails). Opens and closes the device; keeps alsa-lib quiet, as PLAY.
void SettleRate(const char* device, uint32_t& rate);
