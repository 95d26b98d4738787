#include "audio_out/alsa_play.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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
// Two looks of the watchdog further apart than this mean that the program
// itself was held (Ctrl-Z, a debugger): the device cannot be blamed for
// more of such a gap than this.
constexpr Clock::duration kHeldGap = std::chrono::seconds(1);
// A device whose wait says it has room while it has none (its poll
// descriptor is always ready) is asked again only after this pause. Its
// buffer is full then, and holds far longer.
constexpr Clock::duration kNap = std::chrono::milliseconds(2);
// While it drains, the device is looked at this often.
constexpr Clock::duration kDrainLook = std::chrono::milliseconds(10);
// The watchdog counts the time without progress in steps this long, well
// below kHeldGap, so that a call blocked in the device counts in full.
constexpr Clock::duration kWatchdogTick = std::chrono::milliseconds(250);

// What a device that stops answering is reported as, by the step it stops
// in: the open, the set-up, and playing (the feed, the drain, the close).
constexpr char kOpenFailure[] = "unable to open pcm device: %s\n";
constexpr char kSetUpFailure[] = "unable to set hw parameters: %s\n";
constexpr char kPlayFailure[] = "unable to play on pcm device: %s\n";

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
  // The watchdog ends the process without flushing stdout.
  std::fflush(stdout);
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
[[noreturn]] void FailPlaying(int err) { Fail(kPlayFailure, err); }

// The stall clock of one device: how long the device has gone without
// taking or playing frames while the program ran, and what that is called
// when it ends the run. A watchdog thread, started with it and stopped when
// it goes, reads it a few times a second from outside the device's calls,
// since a plugin may block inside its own call (a sound server's, whose
// server has stopped, in the open or the drain), and ends the process once
// the limit has passed: one line on stderr with write(2), then _exit(1),
// taking none of stdio's locks, which the blocked thread may hold.
class Progress {
 public:
  Progress() : watchdog_([this] { Watch(); }) {}
  ~Progress() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    watchdog_.join();
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // From now on a device that does not move for `limit` is reported with
  // `failure_format` (one %s, for the error text).
  void Expect(const char* failure_format, Clock::duration limit) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_format_ = failure_format;
    limit_ = limit;
    RestartLocked();
  }

  // The device took frames, or played some of what it holds.
  void Moved() {
    since_ = Since::kFrames;
    const std::lock_guard<std::mutex> lock(mutex_);
    RestartLocked();
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
      std::fflush(stdout);  // the watchdog ends the process without flushing
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
    const std::lock_guard<std::mutex> lock(mutex_);
    RestartLocked();
  }

  // True from a recovery until the device takes or plays frames again.
  bool Recovering() const { return since_ != Since::kFrames; }

 private:
  enum class Since { kFrames, kResume, kUnderrun };

  void RestartLocked() {
    stalled_ = Clock::duration::zero();
    looked_ = Clock::now();
  }

  // The watchdog: each look adds the time since the last, up to kHeldGap,
  // so that a program stopped and continued (Ctrl-Z and fg, a debugger) is
  // not blamed on the device, while a call that blocks counts in full.
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kWatchdogTick, [this] { return stopping_; })) {
      const Clock::time_point now = Clock::now();
      stalled_ += std::min(now - looked_, kHeldGap);
      looked_ = now;
      if (stalled_ > limit_) {
        char line[256];
        const int length = std::snprintf(line, sizeof line, failure_format_, snd_strerror(-EIO));
        // A stderr that cannot be written leaves nothing else to do.
        if (length > 0) {
          [[maybe_unused]] const ssize_t written =
              write(STDERR_FILENO, line, static_cast<size_t>(length));
        }
        _exit(1);
      }
    }
  }

  Since since_ = Since::kFrames;  // what happened last: frames, or a recovery
  std::mutex mutex_;              // guards what follows, up to the thread
  std::condition_variable wake_;
  bool stopping_ = false;
  const char* failure_format_ = kOpenFailure;
  Clock::duration limit_ = kStallLimit;
  Clock::duration stalled_{};  // without moving, while the program ran
  Clock::time_point looked_ = Clock::now();
  std::thread watchdog_;  // last: it starts once the rest is set
};

// An open device and what was settled with it; Configure sets every field.
struct Device {
  snd_pcm_t* pcm;
  bool interleaved;          // written with snd_pcm_writei
  int64_t period;            // frames
  snd_pcm_uframes_t buffer;  // frames
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
    Fail(kSetUpFailure, err);
  return true;
}

// Installs the block's layout on `pcm` at the rate nearest `rate`, which
// receives the rate in force (with a warning on stdout when it differs).
// Ends the process when the device cannot be set up, also when it stops
// answering (`progress`).
Device Configure(snd_pcm_t* pcm, uint32_t& rate, int channels, Progress* progress) {
  const uint32_t requested_rate = rate;
  Device device;
  device.pcm = pcm;
  int err;
  progress->Expect(kSetUpFailure, kStallLimit);

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
  if (err < 0) FailLayout(kSetUpFailure, err);
  // Each near setter leaves its parameter at one value, the one it writes
  // back, and snd_pcm_hw_params installs that value as it is.
  unsigned int rate_near = rate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate_near, nullptr);
  rate = rate_near;
  snd_pcm_uframes_t period = kPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  device.buffer = kBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &device.buffer);
  if ((err = snd_pcm_hw_params(pcm, params)) < 0) Fail(kSetUpFailure, err);

  if (rate != requested_rate) WarnOfRate(rate);
  device.period = static_cast<int64_t>(period);
  // A slow device takes its next frames only once a period has played.
  progress->Expect(
      kPlayFailure,
      kStallLimit + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(device.buffer) / rate)));
  return device;
}

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
      // After an underrun the frames just offered are skipped. A device
      // suspended in the write took none of them: it gets them again.
      if (written == -EPIPE) pos += avail;
    } else {
      if (written > 0) progress->Moved();
      pos += written;
    }
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
    if (written > 0) progress->Moved();
  }
}

// Lets the device play what it holds, then stops it; returns once it has
// played it all, and ends the process when it cannot. The drain is asked
// for in non-blocking mode (set at the end of the feed). The plugins of
// sound servers (PulseAudio's, PipeWire's) return only once their server
// has played it all, or has failed. A device that drains by itself (a
// sound card, a plugin that follows its own position) is left draining and
// looked at until it is done. What it holds takes at most its buffer's time
// to play, so the feed's limit, counted on from its last frames taken,
// gives it up when it stops (the watchdog), also inside the drain's call.
void PlayOut(snd_pcm_t* pcm) {
  bool resumed = false;
  for (;;) {
    int err = snd_pcm_drain(pcm);
    // Asking for its room lets a plugin that follows its own position see
    // that it is done.
    while (err == -EAGAIN && snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING) {
      std::this_thread::sleep_for(kDrainLook);
      const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
      if (avail < 0) err = static_cast<int>(avail);
    }
    const snd_pcm_state_t state = snd_pcm_state(pcm);
    if (err == -ESTRPIPE || state == SND_PCM_STATE_SUSPENDED) {
      // The machine slept: a device that wakes drains on. One that cannot,
      // or sleeps again before it is done, has lost what it held.
      if (resumed || snd_pcm_resume(pcm) < 0) FailPlaying(-ESTRPIPE);
      resumed = true;
      continue;
    }
    if (state == SND_PCM_STATE_SETUP && (err == 0 || err == -EAGAIN || err == -EBADFD)) {
      // Done, as far as the drain tells: a plugin whose position failed as
      // it drained stops as one that is done does. Asked once more, it
      // fails again; a card that is done has no position to give (EBADFD).
      const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
      if (avail >= 0 || avail == -EBADFD) return;
    }
    break;
  }
  // An error, or a state an error leads to (an underrun, a device gone, a
  // plugin that stopped on a position it could not give): a device that ran
  // dry answers once prepared; one that died, or whose server did, fails
  // again.
  int err = snd_pcm_prepare(pcm);
  if (err >= 0) {
    const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
    if (avail < 0) err = static_cast<int>(avail);
  }
  if (err < 0) FailPlaying(err);
}

}  // namespace

TonePlayback::TonePlayback(const char* device) {
  snd_lib_error_set_handler(SilentAlsaError);
  std::fflush(stdout);      // the watchdog ends the process without flushing
  const Progress progress;  // reports the open
  int err;
  if ((err = snd_pcm_open(&pcm_, device, SND_PCM_STREAM_PLAYBACK, 0)) < 0) Fail(kOpenFailure, err);
}

TonePlayback::~TonePlayback() {
  Progress progress;
  progress.Expect(kPlayFailure, kStallLimit);
  snd_pcm_close(pcm_);
  // Nothing of the device outlives the tone, alsa-lib's parsed
  // configuration included.
  snd_config_update_free_global();
}

void TonePlayback::SettleRate(uint32_t& rate) {
  Progress progress;
  progress.Expect(kSetUpFailure, kStallLimit);
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_hw_params_any(pcm_, params);
  // ALSA's rate converter rounds its ratio to whole periods on both sides
  // (1024 frames at 44100 Hz against 1114.56 at 48000 Hz): a tone that
  // passes it is up to a cent and a half off. Without it, a plug device
  // offers the rates of the device behind it only. The layout is the
  // block's, as far as the device takes it, since a card's rates may
  // depend on its format.
  snd_pcm_hw_params_set_rate_resample(pcm_, params, 0);
  snd_pcm_hw_params_set_format(pcm_, params, SND_PCM_FORMAT_S24_3LE);
  snd_pcm_hw_params_set_channels(pcm_, params, kChannels);
  unsigned int own_rate = rate;
  if (snd_pcm_hw_params_set_rate_near(pcm_, params, &own_rate, nullptr) >= 0 && own_rate != rate) {
    WarnOfRate(own_rate);
    rate = own_rate;
  }
}

void TonePlayback::Play(uint32_t& rate, int channels, int64_t frames, const unsigned char* block) {
  std::fflush(stdout);  // the watchdog ends the process without flushing
  Progress progress;
  const Device configured = Configure(pcm_, rate, channels, &progress);
  Feed(configured, frames, block, &progress);
  PlayOut(pcm_);
}

void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block) {
  TonePlayback(device).Play(rate, channels, frames, block);
}
