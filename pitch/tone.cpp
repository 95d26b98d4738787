#include "pitch/tone.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kFullScale = 8388608.0;  // 2^23
constexpr int64_t kMaxSample = 8388607;   // 2^23 - 1
constexpr double kTwoPi = 6.283185307179586;
constexpr double kCycleLimit = 2147483648.0;  // 2^31: cycle ends are int32

// Length of the tone in frames: (i - 1) whole periods, where i is the
// smallest count of periods with (int32)(i * period) >= count, so always
// below count. Returns 0 when no such i exists below 2^31 frames, or when
// there is no period: `period` is at least 2 (a frequency up to half the
// rate), infinite for 0 Hz, or NaN at a rate of 0.
int64_t WholeCycleFrames(double period, int64_t count) {
  if (!std::isfinite(period)) return 0;
  // i * period grows monotonically, so start a little below the estimate
  // count / period and step up; the first two steps absorb rounding.
  double estimate = std::floor(static_cast<double>(count) / period) - 2.0;
  if (estimate < 0.0) estimate = 0.0;
  int64_t i = static_cast<int64_t>(estimate);  // below count / 2: it fits
  for (;;) {
    const double end = static_cast<double>(i) * period;
    if (end >= kCycleLimit) return 0;
    if (static_cast<int32_t>(end) >= count) break;
    ++i;
  }
  const int64_t frames = static_cast<int64_t>(static_cast<double>(i - 1) * period);
  return frames > 0 ? frames : 0;
}

}  // namespace

void MakeTone(int64_t* samples, float frequency, uint32_t rate, int64_t count, float level) {
  if (count <= 0) return;
  const double amplitude = static_cast<double>(level) / 100.0 * kFullScale;
  const double sr = rate;
  double f = std::fabs(static_cast<double>(frequency));
  if (f > 0.5 * sr) f = static_cast<float>(0.5 * sr);
  const double period = sr / f;         // frames per cycle
  const double step = f * kTwoPi / sr;  // radians per frame

  int64_t tone_frames = 0;
  if (std::fabs(amplitude) <= kFullScale) tone_frames = WholeCycleFrames(period, count);

  // The phase comes from the index for every frame, never accumulated, so
  // the pitch does not drift over long tones.
  for (int64_t k = 0; k < tone_frames; ++k) {
    int64_t s = static_cast<int64_t>(std::sin(static_cast<double>(k) * step) * amplitude);
    if (s > kMaxSample) s = kMaxSample;
    samples[k] = s;
  }
  std::memset(samples + tone_frames, 0, static_cast<size_t>(count - tone_frames) * sizeof(int64_t));
}

void NUM24_TO_CHAR(const int64_t* samples, unsigned char* block, int64_t count) {
  for (int64_t k = 0; k < count; ++k) {
    const uint64_t bits = static_cast<uint64_t>(samples[k]);
    block[3 * k] = static_cast<unsigned char>(bits);
    block[3 * k + 1] = static_cast<unsigned char>(bits >> 8);
    block[3 * k + 2] = static_cast<unsigned char>(bits >> 16);
  }
}
