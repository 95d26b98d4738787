#include "console/tone_job.h"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "audio_out/alsa_play.h"
#include "console/tone_memory.h"
#include "pitch/tone.h"

namespace {

constexpr int64_t kBytesPerFrame = 8 + 3;  // sample array plus packed block
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

// A tone may take at most half of the machine's memory, so that asking for
// a very long one is refused instead of driving the system into swap.
double MemoryShareBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 4.0 * kGiB;  // unknown: a modest guess
  return static_cast<double>(pages) * static_cast<double>(page_size) / 2.0;
}

}  // namespace

int64_t FrameCount(uint32_t rate_hz, float length) {
  const float frames = static_cast<float>(rate_hz) * length;
  return static_cast<int64_t>(frames);
}

bool SizeTone(const ToneSettings& settings, int64_t max_frames, int64_t* frames) {
  if (!std::isfinite(settings.length)) {
    std::puts("The length must be a finite number of seconds; no tone made.");
    return false;
  }
  const float exact = static_cast<float>(settings.rate) * settings.length;
  // Compared as a float first, so that the conversion below is defined.
  const int64_t count = exact <= 0        ? 0
                        : exact < 0x1p62f ? FrameCount(settings.rate, settings.length)
                                          : INT64_MAX;
  if (count > max_frames) {
    std::printf("Tone too long: %.2f seconds at %u Hz is more than %lld frames%s.\n",
                settings.length, static_cast<unsigned>(settings.rate),
                static_cast<long long>(max_frames),
                max_frames == kMaxWavFrames ? ", the most a WAV file can hold" : "");
    return false;
  }
  const double need = static_cast<double>(count) * kBytesPerFrame;
  const double share = MemoryShareBytes();
  if (need > share) {
    std::printf(
        "Tone too long: %.2f seconds at %u Hz needs %.1f GiB of memory, "
        "more than half of this machine's.\n",
        settings.length, static_cast<unsigned>(settings.rate), need / kGiB);
    return false;
  }
  *frames = count;
  return true;
}

bool PlayTone(ToneSettings& settings) {
  int64_t frames = 0;
  if (!SizeTone(settings, kMaxToneFrames, &frames)) return false;
  ToneArrays arrays;
  if (!AllocateToneArrays(frames, &arrays)) {
    std::puts("Not enough memory for this tone; no tone made.");
    return false;
  }
  MakeTone(arrays.samples.get(), settings.frequency, settings.rate, frames, settings.level);
  NUM24_TO_CHAR(arrays.samples.get(), arrays.block.get(), frames);
  PLAY(settings.device.c_str(), settings.rate, 2, frames, arrays.block.get());
  return true;
}
