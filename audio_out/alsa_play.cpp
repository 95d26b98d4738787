#include "audio_out/alsa_play.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr snd_pcm_uframes_t kPeriodFrames = 1024;
constexpr snd_pcm_uframes_t kBufferFrames = 2048;
constexpr int kWaitMs = 1;

// alsa-lib reports its own view of every failure on stderr; the program
// says what failed itself, in one line.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

[[noreturn]] void Fail(const char* format, int err) {
  std::fprintf(stderr, format, snd_strerror(err));
  std::exit(1);
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
  snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
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
  const int64_t guard = static_cast<int64_t>(period);

  // Both channels read the same mono data. The last period or less stays
  // unsent; the silence after the tone's last whole cycle usually covers it.
  int64_t pos = 0;  // frames of the block handed on, [0, frames]
  while (pos + guard < frames) {
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    if (avail == -EPIPE) {
      // Real cards report most underruns here rather than at the write.
      std::puts("RX");
      if (snd_pcm_prepare(pcm) < 0) break;
      continue;
    }
    if (avail < 0) break;  // suspended or gone: stop feeding, drain what is queued
    if (avail == 0) snd_pcm_wait(pcm, kWaitMs);
    if (avail > frames - pos) avail = static_cast<snd_pcm_sframes_t>(frames - pos);
    void* channel_data[2];
    channel_data[0] = const_cast<unsigned char*>(block + pos * 3);
    channel_data[1] = channel_data[0];
    if (snd_pcm_writen(pcm, channel_data, static_cast<snd_pcm_uframes_t>(avail)) == -EPIPE) {
      std::puts("RX");
      snd_pcm_prepare(pcm);
    }
    pos += avail;  // after an underrun the frames just offered are skipped
  }
  snd_pcm_drain(pcm);
  snd_pcm_close(pcm);
  // Nothing of the device outlives the call, alsa-lib's parsed
  // configuration included.
  snd_config_update_free_global();
}
