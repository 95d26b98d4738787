#include "audio_out/alsa_play.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "pitch/tone.h"

namespace {

using Clock = std::chrono::steady_clock;

// The block holds mono frames of one packed sample each, which is S24_3LE;
// the device gets every frame on both of its channels.
constexpr unsigned int kChannels = 2;
constexpr size_t kStereoFrameBytes = kChannels * kPackedFrameBytes;

constexpr snd_pcm_uframes_t kPeriodFrames = 1024;
constexpr snd_pcm_uframes_t kBufferFrames = 2048;
constexpr int kWaitMs = 1;
// A device that takes no frame, or does not play what it holds, for this
// long beyond the time its buffer takes to play has stopped. A sound server
// may hold a new stream for up to two seconds before it starts pulling.
constexpr Clock::duration kStallLimit = std::chrono::seconds(3);
// Two asks of the device further apart than this mean that the program
// itself was held (Ctrl-Z, a debugger): the device cannot be blamed for
// more of such a gap than this.
constexpr Clock::duration kHeldGap = std::chrono::seconds(1);
// A device whose wait says it has room while it has none (its poll
// descriptor is always ready) is asked again only after this pause. Its
// buffer is full then, and holds far longer.
constexpr Clock::duration kNap = std::chrono::milliseconds(2);
// While it drains, the device is looked at this often.
constexpr Clock::duration kDrainLook = std::chrono::milliseconds(10);

// alsa-lib reports its own view of every failure on stderr; the program
// says what failed itself, in one line.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

[[noreturn]] void Fail(const char* format, int err) {
  std::fprintf(stderr, format, snd_strerror(err));
  std::exit(1);
}

// The device runs at `rate` Hz, not at the rate asked for.
void WarnOfRate(uint32_t rate) {
  std::puts("Warning Soundcard Did Not Return Requested Samplerate...this will affect tuning");
  std::printf("Samplerate = %i\n", static_cast<int>(rate));
}

// A device that cannot take the block's layout: another device name (a
// plug device, which converts) may.
[[noreturn]] void FailLayout(const char* format, int err) {
  std::fprintf(stderr, format, snd_strerror(err));
  std::puts("Try a different soundcard device name.");
  std::exit(1);
}

// A device that fails or stops while playing: nothing more is sent and
// nothing waits for it.
[[noreturn]] void FailPlaying(int err) { Fail("unable to play on pcm device: %s\n", err); }

// An open device and what was settled with it; Configure sets every field.
struct Device {
  snd_pcm_t* pcm;
  bool interleaved;             // written with snd_pcm_writei
  int64_t period;               // frames
  snd_pcm_uframes_t buffer;     // frames
  Clock::duration stall_limit;  // see kStallLimit
};

// Asks for non-interleaved access where the device itself offers it, and
// for interleaved access otherwise. Returns true for interleaved.
// A plug device offers every access by converting; its conversion from
// non-interleaved goes through alsa-lib's mmap emulation when the device
// behind it can only be written (the PulseAudio plugin), and that chain
// stops reporting progress and hangs in drain. Interleaved frames pass a
// plug device unconverted, so it gets them; the frames are the same.
bool ChooseAccess(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  if (snd_pcm_type(pcm) != SND_PCM_TYPE_PLUG &&
      snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) >= 0)
    return false;
  int err;
  if ((err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
    Fail("unable to set hw parameters: %s\n", err);
  return true;
}

// Opens `name` and installs the block's layout at the rate nearest `rate`,
// which receives the rate in force (with a warning on stdout when it
// differs). Ends the process when the device cannot be opened or set up.
Device Configure(const char* name, uint32_t& rate, int channels) {
  const uint32_t requested_rate = rate;
  Device device;
  int err;
  if ((err = snd_pcm_open(&device.pcm, name, SND_PCM_STREAM_PLAYBACK, 0)) < 0)
    Fail("unable to open pcm device: %s\n", err);
  snd_pcm_t* pcm = device.pcm;

  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);  // zero-filled, freed on return
  snd_pcm_hw_params_any(pcm, params);
  device.interleaved = ChooseAccess(pcm, params);
  if ((err = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE)) < 0)
    FailLayout("Unable to set playback format: %s\n", err);
  // Every write hands the device exactly two channels of the block: a
  // device installed with any other count would read past them.
  err = channels == static_cast<int>(kChannels)
            ? snd_pcm_hw_params_set_channels(pcm, params, kChannels)
            : -EINVAL;
  if (err < 0) FailLayout("unable to set hw parameters: %s\n", err);
  // Each near setter leaves its parameter at one value, the one it writes
  // back, and snd_pcm_hw_params installs that value as it is.
  unsigned int rate_near = rate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate_near, nullptr);
  rate = rate_near;
  snd_pcm_uframes_t period = kPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  device.buffer = kBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &device.buffer);
  if ((err = snd_pcm_hw_params(pcm, params)) < 0) Fail("unable to set hw parameters: %s\n", err);

  if (rate != requested_rate) WarnOfRate(rate);
  device.period = static_cast<int64_t>(period);
  // A slow device takes its next frames only once a period has played.
  device.stall_limit =
      kStallLimit + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(device.buffer) / rate));
  return device;
}

// What the device has done since it last took or played frames.
class Progress {
 public:
  explicit Progress(Clock::duration limit) : limit_(limit) {}

  // The device took frames, or played some of what it holds.
  void Moved() {
    Restart();
    since_ = Since::kFrames;
  }

  // The device, asked just now, has not moved, or is draining. Returns true
  // once it has not moved for the limit while the program was running and
  // asking it.
  bool Stalled() {
    const Clock::time_point now = Clock::now();
    stalled_ += std::min(now - asked_, kHeldGap);
    asked_ = now;
    return stalled_ > limit_;
  }

  // Brings the device back after an underrun ("RX" on stdout) or a suspend,
  // or ends the process when it cannot, or is gone: a sound server that
  // died fails every call while every prepare succeeds, so a device that
  // fails again right after an underrun's recovery, before it takes a
  // frame, is gone. A device just resumed may first report the underrun it
  // had while the machine slept.
  void Recover(snd_pcm_t* pcm, int err) {
    int res;
    if (err == -EPIPE && since_ != Since::kUnderrun) {
      std::puts("RX");
      res = snd_pcm_prepare(pcm);
      since_ = Since::kUnderrun;
    } else if (err == -ESTRPIPE && since_ == Since::kFrames) {
      // The system has woken up. A device that cannot resume starts anew;
      // the kernel waits for a sound card's power itself.
      res = snd_pcm_resume(pcm);
      if (res < 0) res = snd_pcm_prepare(pcm);
      since_ = Since::kResume;
    } else {
      FailPlaying(err);
    }
    if (res < 0) FailPlaying(err);
    Restart();
  }

  // True from a recovery until the device takes or plays frames again.
  bool Recovering() const { return since_ != Since::kFrames; }

 private:
  enum class Since { kFrames, kResume, kUnderrun };

  void Restart() {
    stalled_ = Clock::duration::zero();
    asked_ = Clock::now();
  }

  Clock::duration limit_;
  Clock::duration stalled_{};  // without moving, while the program ran
  Clock::time_point asked_ = Clock::now();
  Since since_ = Since::kFrames;  // what happened last: frames, or a recovery
};

// Writes `count` frames of the block from frame `from` to both channels.
// Interleaved devices take the frames from `staging`, which holds at least
// `count` stereo frames.
snd_pcm_sframes_t WriteBoth(const Device& device, const unsigned char* block, int64_t from,
                            snd_pcm_uframes_t count, std::vector<unsigned char>& staging) {
  const unsigned char* mono = block + from * kPackedFrameBytes;
  if (!device.interleaved) {
    void* channel_data[kChannels];
    for (void*& channel : channel_data) channel = const_cast<unsigned char*>(mono);
    return snd_pcm_writen(device.pcm, channel_data, count);
  }
  unsigned char* out = staging.data();
  for (snd_pcm_uframes_t k = 0; k < count; ++k, mono += kPackedFrameBytes) {
    for (unsigned int channel = 0; channel < kChannels; ++channel, out += kPackedFrameBytes)
      std::memcpy(out, mono, kPackedFrameBytes);
  }
  return snd_pcm_writei(device.pcm, staging.data(), count);
}

// Hands the block to the device as it makes room, the same mono data on
// both channels. Up to one period at the end may stay unsent; the silence
// after the tone's last whole cycle usually covers it.
void Feed(const Device& device, int64_t frames, const unsigned char* block, Progress* progress) {
  // One device buffer of stereo frames, whatever the tone's length.
  std::vector<unsigned char> staging(device.interleaved ? device.buffer * kStereoFrameBytes : 0);
  int64_t pos = 0;                  // frames of the block handed on, [0, frames]
  bool ready_without_room = false;  // the last wait said ready, yet avail is 0
  while (pos + device.period < frames) {
    // snd_pcm_avail asks the device where it is before counting: some
    // plugins learn their position only when asked.
    snd_pcm_sframes_t avail = snd_pcm_avail(device.pcm);
    if (avail < 0) {
      progress->Recover(device.pcm, static_cast<int>(avail));
      continue;
    }
    if (avail == 0) {
      if (progress->Stalled()) FailPlaying(-EIO);
      // A wait that timed out has waited; one that said ready without room
      // has not, and would be asked again at once.
      if (ready_without_room) std::this_thread::sleep_for(kNap);
      const int err = snd_pcm_wait(device.pcm, kWaitMs);
      if (err < 0) progress->Recover(device.pcm, err);
      ready_without_room = err > 0;
      continue;
    }
    ready_without_room = false;
    if (avail > frames - pos) avail = static_cast<snd_pcm_sframes_t>(frames - pos);
    if (device.interleaved && avail > static_cast<snd_pcm_sframes_t>(device.buffer))
      avail = static_cast<snd_pcm_sframes_t>(device.buffer);
    const snd_pcm_sframes_t written =
        WriteBoth(device, block, pos, static_cast<snd_pcm_uframes_t>(avail), staging);
    if (written < 0) {
      progress->Recover(device.pcm, static_cast<int>(written));
    } else if (written > 0) {
      progress->Moved();
    }
    pos += avail;  // after an underrun the frames just offered are skipped
  }
  // A device brought back that has taken nothing since may be gone (a
  // server killed as the tone started): it must take the frames still
  // unsent, or the last one the failed write offered. Without blocking: a
  // device resumed with a full buffer plays what it holds first.
  snd_pcm_nonblock(device.pcm, 1);
  if (progress->Recovering()) {
    const int64_t from = std::min(pos, frames - 1);
    const snd_pcm_sframes_t written =
        WriteBoth(device, block, from, static_cast<snd_pcm_uframes_t>(frames - from), staging);
    if (written < 0 && written != -EAGAIN) FailPlaying(static_cast<int>(written));
  }
}

// Lets the device play what it holds, then stops it. The drain is asked for
// in non-blocking mode (set at the end of the feed). The plugins of sound
// servers (PulseAudio's, PipeWire's) return only once their server has
// played it all, which is then heard in full; a device that runs dry first
// (an underrun now) has played it all too. A device that drains by itself
// (a sound card, a plugin that follows its own position) is left draining
// and looked at until it is done. What it holds takes at most its buffer's
// time to play, so the feed's limit, counted on from its last frames
// taken, gives it up when it stops.
void PlayOut(snd_pcm_t* pcm, Progress* progress) {
  snd_pcm_drain(pcm);
  // Asking for its room lets a plugin that follows its own position see
  // that it is done; a device that stopped on its own has none to give.
  while (snd_pcm_avail(pcm) >= 0 && snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING) {
    if (progress->Stalled()) FailPlaying(-EIO);
    std::this_thread::sleep_for(kDrainLook);
  }
}

}  // namespace

void SettleRate(const char* device, uint32_t& rate) {
  snd_lib_error_set_handler(SilentAlsaError);
  snd_pcm_t* pcm;
  if (snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0) < 0) return;
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_hw_params_any(pcm, params);
  // ALSA's rate converter rounds its ratio to whole periods on both sides
  // (1024 frames at 44100 Hz against 1114.56 at 48000 Hz): a tone that
  // passes it is up to a cent and a half off. Without it, a plug device
  // offers the rates of the device behind it only. The layout is the
  // block's, as far as the device takes it, since a card's rates may
  // depend on its format.
  snd_pcm_hw_params_set_rate_resample(pcm, params, 0);
  snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE);
  snd_pcm_hw_params_set_channels(pcm, params, kChannels);
  unsigned int own_rate = rate;
  const int err = snd_pcm_hw_params_set_rate_near(pcm, params, &own_rate, nullptr);
  snd_pcm_close(pcm);
  snd_config_update_free_global();
  if (err >= 0 && own_rate != rate) {
    WarnOfRate(own_rate);
    rate = own_rate;
  }
}

void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block) {
  snd_lib_error_set_handler(SilentAlsaError);
  const Device configured = Configure(device, rate, channels);
  Progress progress(configured.stall_limit);
  Feed(configured, frames, block, &progress);
  PlayOut(configured.pcm, &progress);
  snd_pcm_close(configured.pcm);
  // Nothing of the device outlives the call, alsa-lib's parsed
  // configuration included.
  snd_config_update_free_global();
}
