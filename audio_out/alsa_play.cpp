#include "audio_out/alsa_play.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr snd_pcm_uframes_t kPeriodFrames = 1024;
constexpr snd_pcm_uframes_t kBufferFrames = 2048;
constexpr int kWaitMs = 1;
// A device that takes no frame, or does not finish playing what it holds,
// for this long beyond the time its buffer takes to play has stopped. A
// sound server may hold a new stream for up to two seconds before it starts
// pulling.
constexpr Clock::duration kStallLimit = std::chrono::seconds(3);
// How long a wait lasts before the device is asked again.
constexpr Clock::duration kRecheck = std::chrono::milliseconds(10);

// alsa-lib reports its own view of every failure on stderr; the program
// says what failed itself, in one line.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

[[noreturn]] void Fail(const char* format, int err) {
  std::fprintf(stderr, format, snd_strerror(err));
  std::exit(1);
}

// A device that fails or stops while playing: nothing more is sent and
// nothing waits for it.
[[noreturn]] void FailPlaying(int err) { Fail("unable to play on pcm device: %s\n", err); }

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

// Brings the device back after an underrun ("RX" on stdout) or a suspend.
// Returns false when it cannot be brought back.
bool Recover(snd_pcm_t* pcm, int err) {
  if (err == -EPIPE) {
    std::puts("RX");
    return snd_pcm_prepare(pcm) >= 0;
  }
  if (err == -ESTRPIPE) {
    // The system is waking up; the device may take a moment to follow.
    const Clock::time_point give_up = Clock::now() + kStallLimit;
    int res;
    while ((res = snd_pcm_resume(pcm)) == -EAGAIN && Clock::now() < give_up)
      std::this_thread::sleep_for(kRecheck);
    if (res < 0) res = snd_pcm_prepare(pcm);  // devices that cannot resume start anew
    return res >= 0;
  }
  return false;
}

// Writes `count` frames of the mono block at `mono` to both channels.
// Interleaved devices take the frames from `staging`, which holds at least
// `count` stereo frames.
snd_pcm_sframes_t WriteBoth(snd_pcm_t* pcm, const unsigned char* mono, snd_pcm_uframes_t count,
                            bool interleaved, std::vector<unsigned char>& staging) {
  if (!interleaved) {
    void* channel_data[2];
    channel_data[0] = const_cast<unsigned char*>(mono);
    channel_data[1] = channel_data[0];
    return snd_pcm_writen(pcm, channel_data, count);
  }
  unsigned char* out = staging.data();
  for (snd_pcm_uframes_t k = 0; k < count; ++k, mono += 3, out += 6) {
    std::memcpy(out, mono, 3);
    std::memcpy(out + 3, mono, 3);
  }
  return snd_pcm_writei(pcm, staging.data(), count);
}

// Ends the process when a drain does not finish: the line FailPlaying(-EIO)
// prints, written as a signal handler may.
void DrainStuck(int) {
  static constexpr char kLine[] = "unable to play on pcm device: Input/output error\n";
  const ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
  (void)ignored;
  _exit(1);
}

// Lets the device play what it holds, at most a buffer, then stops it.
// snd_pcm_drain waits as long as the device takes, and some never finish:
// alsa-lib drains a plugin device by watching its position, which a device
// that stopped never moves, and the PulseAudio plugin behind a conversion
// can wait for its server forever. An alarm after `limit` bounds the wait.
void Drain(snd_pcm_t* pcm, Clock::duration limit) {
  std::fflush(stdout);  // the alarm's way out cannot flush
  std::signal(SIGALRM, DrainStuck);
  alarm(static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(limit).count()));
  snd_pcm_drain(pcm);
  alarm(0);
  std::signal(SIGALRM, SIG_DFL);
}

}  // namespace

void PLAY(const char* device, uint32_t& rate, int channels, int64_t frames,
          const unsigned char* block) {
  snd_lib_error_set_handler(SilentAlsaError);
  const uint32_t requested_rate = rate;
  int err;

  snd_pcm_t* pcm = nullptr;
  if ((err = snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0)) < 0)
    Fail("unable to open pcm device: %s\n", err);

  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);  // zero-filled, freed on return
  snd_pcm_hw_params_any(pcm, params);
  const bool interleaved = ChooseAccess(pcm, params);
  if ((err = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE)) < 0) {
    std::fprintf(stderr, "Unable to set playback format: %s\n", snd_strerror(err));
    std::puts("Try a different soundcard device name.");
    std::exit(1);
  }
  snd_pcm_hw_params_set_channels(pcm, params, static_cast<unsigned>(channels));
  unsigned int rate_near = rate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate_near, nullptr);
  rate = rate_near;
  snd_pcm_uframes_t period = kPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  snd_pcm_uframes_t buffer = kBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
  if ((err = snd_pcm_hw_params(pcm, params)) < 0) Fail("unable to set hw parameters: %s\n", err);

  unsigned int rate_in_force = rate;
  if (snd_pcm_hw_params_get_rate(params, &rate_in_force, nullptr) >= 0) rate = rate_in_force;
  if (rate != requested_rate) {
    std::puts("Warning Soundcard Did Not Return Requested Samplerate...this will affect tuning");
    std::printf("Samplerate = %i\n", static_cast<int>(rate));
  }
  snd_pcm_hw_params_get_period_size(params, &period, nullptr);
  snd_pcm_hw_params_get_buffer_size(params, &buffer);
  const int64_t guard = static_cast<int64_t>(period);
  // One device buffer of stereo frames, whatever the tone's length.
  std::vector<unsigned char> staging(interleaved ? buffer * 6 : 0);
  // A slow device takes its next frames only once a period has played.
  const Clock::duration stall_limit =
      kStallLimit + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(buffer) / rate));

  // Both channels carry the same mono data. The last period or less stays
  // unsent; the silence after the tone's last whole cycle usually covers it.
  int64_t pos = 0;                            // frames of the block handed on, [0, frames]
  Clock::time_point progress = Clock::now();  // when the device last took frames
  while (pos + guard < frames) {
    if (Clock::now() - progress > stall_limit) FailPlaying(-EIO);
    // snd_pcm_avail asks the device where it is before counting: some
    // plugins learn their position only when asked.
    snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
    if (avail < 0) {
      if (!Recover(pcm, static_cast<int>(avail))) FailPlaying(static_cast<int>(avail));
      continue;
    }
    if (avail == 0) {
      if ((err = snd_pcm_wait(pcm, kWaitMs)) < 0 && !Recover(pcm, err)) FailPlaying(err);
      continue;
    }
    if (avail > frames - pos) avail = static_cast<snd_pcm_sframes_t>(frames - pos);
    if (interleaved && avail > static_cast<snd_pcm_sframes_t>(buffer))
      avail = static_cast<snd_pcm_sframes_t>(buffer);
    const snd_pcm_sframes_t written = WriteBoth(
        pcm, block + pos * 3, static_cast<snd_pcm_uframes_t>(avail), interleaved, staging);
    if (written < 0 && !Recover(pcm, static_cast<int>(written)))
      FailPlaying(static_cast<int>(written));
    if (written > 0) progress = Clock::now();
    pos += avail;  // after an underrun the frames just offered are skipped
  }
  Drain(pcm, stall_limit);
  snd_pcm_close(pcm);
  // Nothing of the device outlives the call, alsa-lib's parsed
  // configuration included.
  snd_config_update_free_global();
}
