#include "audio_out/alsa_play.h"

#include <alsa/asoundlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The block holds mono frames of one S24_3LE sample each (24 bits, no
// padding); the device gets every frame on both of its channels.
constexpr size_t kDeviceSampleBytes = 3;
constexpr unsigned int kChannels = 2;
constexpr size_t kStereoFrameBytes = kChannels * kDeviceSampleBytes;

constexpr snd_pcm_uframes_t kPeriodFrames = 1024;
constexpr snd_pcm_uframes_t kBufferFrames = 2048;
constexpr int kWaitMs = 1;
// A device that takes no frame, or does not finish playing what it holds,
// for this long beyond the time its buffer takes to play has stopped. A
// sound server may hold a new stream for up to two seconds before it starts
// pulling.
constexpr Clock::duration kStallLimit = std::chrono::seconds(3);
// How long a wait lasts before a device that is resuming is asked again.
constexpr Clock::duration kRecheck = std::chrono::milliseconds(10);
// A device whose wait says it has room while it has none (its poll
// descriptor is always ready) is asked again only after this pause. Its
// buffer is full then, and holds far longer.
constexpr Clock::duration kNap = std::chrono::milliseconds(2);

// alsa-lib reports its own view of every failure on stderr; the program
// says what failed itself, in one line.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

[[noreturn]] void Fail(const char* format, int err) {
  std::fprintf(stderr, format, snd_strerror(err));
  std::exit(1);
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

// An open device and what was settled with it.
struct Device {
  snd_pcm_t* pcm = nullptr;
  bool interleaved = false;       // written with snd_pcm_writei
  int64_t period = 0;             // frames
  snd_pcm_uframes_t buffer = 0;   // frames
  Clock::duration stall_limit{};  // see kStallLimit
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
  unsigned int rate_near = rate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate_near, nullptr);
  rate = rate_near;
  snd_pcm_uframes_t period = kPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  device.buffer = kBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &device.buffer);
  if ((err = snd_pcm_hw_params(pcm, params)) < 0) Fail("unable to set hw parameters: %s\n", err);

  unsigned int rate_in_force = rate;
  if (snd_pcm_hw_params_get_rate(params, &rate_in_force, nullptr) >= 0) rate = rate_in_force;
  if (rate != requested_rate) {
    std::puts("Warning Soundcard Did Not Return Requested Samplerate...this will affect tuning");
    std::printf("Samplerate = %i\n", static_cast<int>(rate));
  }
  snd_pcm_hw_params_get_period_size(params, &period, nullptr);
  snd_pcm_hw_params_get_buffer_size(params, &device.buffer);
  device.period = static_cast<int64_t>(period);
  // A slow device takes its next frames only once a period has played.
  device.stall_limit =
      kStallLimit + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(device.buffer) / rate));
  return device;
}

// What the feed knows of the device's progress.
struct Progress {
  Clock::time_point at = Clock::now();  // when the device last took frames or came back
  // From a recovery until the device takes a frame again: an error reported
  // then is no underrun but a device that has gone (a sound server that
  // died fails every call, while every prepare succeeds).
  bool recovering = false;
};

// Brings the device back after an underrun ("RX" on stdout) or a suspend,
// or ends the process when it cannot, or is gone.
void Recover(snd_pcm_t* pcm, int err, Progress* progress) {
  if (progress->recovering || (err != -EPIPE && err != -ESTRPIPE)) FailPlaying(err);
  progress->recovering = true;
  int res;
  if (err == -EPIPE) {
    std::puts("RX");
    res = snd_pcm_prepare(pcm);
  } else {
    // The system is waking up; the device may take a moment to follow.
    const Clock::time_point give_up = Clock::now() + kStallLimit;
    while ((res = snd_pcm_resume(pcm)) == -EAGAIN && Clock::now() < give_up)
      std::this_thread::sleep_for(kRecheck);
    if (res < 0) res = snd_pcm_prepare(pcm);  // devices that cannot resume start anew
  }
  if (res < 0) FailPlaying(err);
  progress->at = Clock::now();
}

// Writes `count` frames of the mono block at `mono` to both channels.
// Interleaved devices take the frames from `staging`, which holds at least
// `count` stereo frames.
snd_pcm_sframes_t WriteBoth(snd_pcm_t* pcm, const unsigned char* mono, snd_pcm_uframes_t count,
                            bool interleaved, std::vector<unsigned char>& staging) {
  if (!interleaved) {
    void* channel_data[kChannels];
    for (void*& channel : channel_data) channel = const_cast<unsigned char*>(mono);
    return snd_pcm_writen(pcm, channel_data, count);
  }
  unsigned char* out = staging.data();
  for (snd_pcm_uframes_t k = 0; k < count; ++k, mono += kDeviceSampleBytes) {
    for (unsigned int channel = 0; channel < kChannels; ++channel, out += kDeviceSampleBytes)
      std::memcpy(out, mono, kDeviceSampleBytes);
  }
  return snd_pcm_writei(pcm, staging.data(), count);
}

// Hands the block to the device as it makes room, the same mono data on
// both channels. Up to one period at the end may stay unsent; the silence
// after the tone's last whole cycle usually covers it.
void Feed(const Device& device, int64_t frames, const unsigned char* block) {
  // One device buffer of stereo frames, whatever the tone's length.
  std::vector<unsigned char> staging(device.interleaved ? device.buffer * kStereoFrameBytes : 0);
  int64_t pos = 0;  // frames of the block handed on, [0, frames]
  Progress progress;
  bool ready_without_room = false;  // the last wait said ready, yet avail is 0
  while (pos + device.period < frames) {
    // snd_pcm_avail asks the device where it is before counting: some
    // plugins learn their position only when asked.
    snd_pcm_sframes_t avail = snd_pcm_avail(device.pcm);
    if (avail < 0) {
      Recover(device.pcm, static_cast<int>(avail), &progress);
      continue;
    }
    if (avail == 0) {
      // Only a device asked just now that still has no room counts as
      // stalled: a program stopped for a while (Ctrl-Z, a debugger) finds
      // room, or an underrun, when it goes on.
      if (Clock::now() - progress.at > device.stall_limit) FailPlaying(-EIO);
      // A wait that timed out has waited; one that said ready without room
      // has not, and would be asked again at once.
      if (ready_without_room) std::this_thread::sleep_for(kNap);
      const int err = snd_pcm_wait(device.pcm, kWaitMs);
      if (err < 0) Recover(device.pcm, err, &progress);
      ready_without_room = err > 0;
      continue;
    }
    ready_without_room = false;
    if (avail > frames - pos) avail = static_cast<snd_pcm_sframes_t>(frames - pos);
    if (device.interleaved && avail > static_cast<snd_pcm_sframes_t>(device.buffer))
      avail = static_cast<snd_pcm_sframes_t>(device.buffer);
    const snd_pcm_sframes_t written =
        WriteBoth(device.pcm, block + pos * static_cast<int64_t>(kDeviceSampleBytes),
                  static_cast<snd_pcm_uframes_t>(avail), device.interleaved, staging);
    if (written < 0) {
      Recover(device.pcm, static_cast<int>(written), &progress);
    } else if (written > 0) {
      progress = Progress{};
    }
    pos += avail;  // after an underrun the frames just offered are skipped
  }
}

// Ends the process when a drain does not finish: the line FailPlaying(-EIO)
// prints, written as a signal handler may.
void DrainStuck(int) {
  static constexpr char kLine[] = "unable to play on pcm device: Input/output error\n";
  const ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
  (void)ignored;
  _exit(1);
}

// At least a microsecond: a zero timer is no timer.
timeval ToTimeval(Clock::duration d) {
  const auto us =
      std::max<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count(), 1);
  return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

Clock::duration FromTimeval(const timeval& t) {
  return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
}

// Puts back a timer that `saved` held at `start`, less the time since. One
// that fell due meanwhile is delivered now, and one that repeats goes on in
// step with its interval.
void RestoreTimer(const itimerval& saved, Clock::time_point start) {
  if (!timerisset(&saved.it_value)) return;
  Clock::duration left = FromTimeval(saved.it_value) - (Clock::now() - start);
  const Clock::duration interval = FromTimeval(saved.it_interval);
  const bool due = left <= Clock::duration::zero();
  if (due && interval == Clock::duration::zero()) {
    raise(SIGALRM);
    return;
  }
  if (due) left = interval - (-left) % interval;
  const itimerval restored{saved.it_interval, ToTimeval(left)};
  setitimer(ITIMER_REAL, &restored, nullptr);
  if (due) raise(SIGALRM);
}

// Lets the device play what it holds, at most a buffer, then stops it.
// snd_pcm_drain waits as long as the device takes, and some never finish:
// alsa-lib drains a plugin device by watching its position, which a device
// that stopped never moves, and the PulseAudio plugin behind a conversion
// can wait for its server forever. A SIGALRM timer after `limit` bounds the
// wait; the process's own handler and timer are put back afterwards.
void Drain(snd_pcm_t* pcm, Clock::duration limit) {
  std::fflush(stdout);  // the alarm's way out cannot flush
  const itimerval ours{timeval{}, ToTimeval(limit)};
  const itimerval off{};
  itimerval previous_timer{};
  const Clock::time_point start = Clock::now();
  // The caller's timer is swapped out before the handler is, so that it
  // cannot fall due into the drain's handler; the drain's own is seconds
  // away.
  if (setitimer(ITIMER_REAL, &ours, &previous_timer) != 0) {
    snd_pcm_drain(pcm);  // unbounded: there is no timer to bound it
    return;
  }
  struct sigaction stuck {};
  struct sigaction previous_action {};
  stuck.sa_handler = DrainStuck;
  sigemptyset(&stuck.sa_mask);
  const bool bounded = sigaction(SIGALRM, &stuck, &previous_action) == 0;
  if (!bounded) setitimer(ITIMER_REAL, &off, nullptr);  // no way out: no timer either
  snd_pcm_drain(pcm);
  if (bounded) {
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_action, nullptr);
  }
  RestoreTimer(previous_timer, start);
}

}  // namespace

void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block) {
  snd_lib_error_set_handler(SilentAlsaError);
  const Device configured = Configure(device, rate, channels);
  Feed(configured, frames, block);
  Drain(configured.pcm, configured.stall_limit);
  snd_pcm_close(configured.pcm);
  // Nothing of the device outlives the call, alsa-lib's parsed
  // configuration included.
  snd_config_update_free_global();
}
