#include "console/tone_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "audio_out/alsa_play.h"
#include "pitch/note_freq.h"

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr uint32_t kBitsPerSample = 8 * kPackedFrameBytes;

// Sizes, allocates, synthesises and packs the settings' tone into `arrays`.
// Returns false, after one line on stdout, when it is refused.
bool RenderTone(const ToneSettings& s, const ToneUse& use, int64_t memory_budget, int64_t* frames,
                ToneArrays* arrays) {
  if (!SizeTone(s, use, memory_budget, frames)) return false;
  if (!AllocateToneArrays(*frames, arrays)) {
    std::printf("Not enough memory for this tone; %s.\n", use.not_done);
    return false;
  }
  MakeTone(arrays->samples.get(), ToneFrequency(s), s.rate, *frames, s.level);
  NUM24_TO_CHAR(arrays->samples.get(), arrays->block.get(), *frames);
  return true;
}

bool IsRegularFile(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int64_t FrameCount(uint32_t rate_hz, float length) {
  const float frames = static_cast<float>(rate_hz) * length;
  return static_cast<int64_t>(frames);
}

bool SizeTone(const ToneSettings& settings, const ToneUse& use, int64_t memory_budget,
              int64_t* frames) {
  if (!std::isfinite(settings.length)) {
    std::puts("The length must be a finite number of seconds; no tone made.");
    return false;
  }
  const float exact = static_cast<float>(settings.rate) * settings.length;
  // Compared as a float first, so that the conversion below is defined.
  const int64_t count = exact <= 0        ? 0
                        : exact < 0x1p62f ? FrameCount(settings.rate, settings.length)
                                          : INT64_MAX;
  const auto rate = static_cast<unsigned>(settings.rate);
  if (count > use.max_frames) {
    std::printf("Tone too long: %.2f seconds at %u Hz is more than %lld frames%s.\n",
                settings.length, rate, static_cast<long long>(use.max_frames), use.limit_reason);
    return false;
  }
  if (settings.rate > use.max_rate) {
    std::printf("Samplerate too high: %u Hz is more than %u Hz%s.\n", rate,
                static_cast<unsigned>(use.max_rate), use.limit_reason);
    return false;
  }
  const double need = static_cast<double>(count) * kToneFrameBytes;
  if (need > static_cast<double>(memory_budget)) {
    std::printf(
        "Tone too long: %.2f seconds at %u Hz needs %.1f GiB of memory, "
        "more than the %.1f GiB a tone may take.\n",
        settings.length, rate, need / kGiB, static_cast<double>(memory_budget) / kGiB);
    return false;
  }
  *frames = count;
  return true;
}

float ToneFrequency(const ToneSettings& settings) {
  if (settings.pitch_source == PitchSource::Frequency) return settings.frequency;
  return static_cast<float>(Get_Freq(settings.note, settings.octave, settings.cents));
}

bool PlayTone(ToneSettings& settings, int64_t memory_budget) {
  // The device is opened first, so that the tone is made at the rate it
  // runs at and plays unconverted.
  TonePlayback playback(settings.device.c_str());
  playback.SettleRate(settings.rate);
  int64_t frames;
  ToneArrays arrays;
  if (!RenderTone(settings, kPlayUse, memory_budget, &frames, &arrays)) return false;
  playback.Play(settings.rate, 2, frames, arrays.block.get());
  return true;
}

void ExportTone(const ToneSettings& settings, int64_t memory_budget) {
  int64_t frames;
  ToneArrays arrays;
  // Rendered before the header is written, so that a refusal leaves no file
  // behind.
  if (!RenderTone(settings, kExportUse, memory_budget, &frames, &arrays)) return;
  const char* path = settings.export_file.c_str();
  // A regular file that cannot be opened for writing is left as it was, so
  // it is never this export's to remove.
  const bool ours = access(path, F_OK) != 0 || access(path, W_OK) == 0;
  const int header_written = MAKE_HEADER(path, settings.rate, kBitsPerSample, frames);
  // WriteFile's count is cut to 32 bits; so is the count it is compared with.
  const int32_t data_written = WriteFile(path, arrays.block.get(), frames, kBitsPerSample);
  // A header cut short, or one that promises more data than the file holds,
  // makes a broken file; the writers have said so, and the file is taken
  // away (a device such as /dev/full is left alone).
  const bool complete =
      header_written == 1 && data_written == static_cast<int32_t>(frames * kPackedFrameBytes);
  if (!complete && ours && IsRegularFile(path) && std::remove(path) == 0) {
    std::puts("The incomplete file was removed.");
  }
}
