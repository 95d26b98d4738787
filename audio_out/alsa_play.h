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
// anew when it cannot resume (and may then report one underrun); the frames
// a write offered as the device was suspended are offered again.
// Ends the process with exit(1) and one message on stderr when the device
// cannot be opened, refuses the format or exactly two channels (these two
// also print "Try a different soundcard device name." on stdout), refuses
// its hardware parameters, fails while playing, is gone (it fails again
// after an underrun's recovery before taking a frame, also when that
// recovery came with the tone's last write), or has not played out what it
// was sent: its drain failed, or it was gone, or suspended for good, before
// it was done, and it fails again when prepared.
// While it runs, PLAY keeps one watchdog thread, which ends the process
// with _exit(1) and one message on stderr (that of the open, of the set-up,
// or "unable to play on pcm device: Input/output error") when the device
// stops answering or moving: it has taken no frame, or not played out what
// it holds after its last, for 3 seconds beyond the time its buffer takes
// to play (3 seconds in the open and the set-up), also inside a call that
// never returns (the plugin of a stopped sound server, in its open or its
// drain). That time is counted only while the program runs: a program
// stopped and continued (Ctrl-Z and fg, a debugger) plays on. stdout is
// flushed on entry and after each line PLAY prints, so nothing printed is
// lost then. Touches no signal and no timer of the process. Keeps
// alsa-lib's own diagnostics off stderr.
void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block);

// As <alsa/asoundlib.h> declares it.
typedef struct _snd_pcm snd_pcm_t;

// A playback device opened for one tone before the tone is made, so that
// the tone can be made at the rate the device itself runs at (SettleRate),
// then played on it as PLAY plays (Play). PLAY is its open and its Play.
class TonePlayback {
 public:
  // Opens `device` for playback, or ends the process as PLAY does when it
  // cannot be opened or does not answer (watched as PLAY's open is).
  explicit TonePlayback(const char* device);
  // Closes the device (watched as playing is).
  ~TonePlayback();
  TonePlayback(const TonePlayback&) = delete;
  TonePlayback& operator=(const TonePlayback&) = delete;

  // Learns the rate nearest `rate` Hz at which the device itself runs,
  // ALSA's own rate conversion not counted, so that a tone made at that
  // rate reaches the device unconverted and exact. A plug device (plughw,
  // plug:jack, a default in front of dmix) runs at the rates of the device
  // behind it; the plugins of sound servers, which convert exactly
  // themselves, at any rate. When the rate differs, `rate` takes it and the
  // two warning lines of PLAY go to stdout; a device that offers no rate for
  // the block's layout leaves `rate` as it is (Play then says what fails).
  void SettleRate(uint32_t& rate);

  // Sets the device up for the block at `rate` and plays it out: as PLAY,
  // which see. Call once.
  void Play(uint32_t& rate, int channels, int64_t frames, const unsigned char* block);

 private:
  snd_pcm_t* pcm_;
};
