// console/tone_job.h: sizing, making and playing one tone.
#pragma once
#include <cstdint>

#include "audio_out/wav_file.h"
#include "console/settings.h"

// Largest tone the generator can make: its cycle arithmetic is 32-bit.
constexpr int64_t kMaxToneFrames = 2147483647;
// Largest 24-bit data, and largest rate, a WAV header can describe.
constexpr int64_t kMaxWavFrames = kMaxWavDataBytes / 3;
constexpr uint32_t kMaxWavRate = kMaxWavByteRate / 3;

// Frames of a tone of `length` seconds at `rate_hz`, computed in single
// precision as the settings define it: (int64)(float(rate_hz) * length).
// REQUIRES: float(rate_hz) * length is finite and below 2^63.
int64_t FrameCount(uint32_t rate_hz, float length);

// Checks that a tone of the settings' length and rate can be made and held
// in memory, with at most `max_frames` frames; on success stores the frame
// count (0 for a negative length) in `frames` and returns true. Otherwise
// prints one line on stdout saying why and returns false; nothing is
// allocated either way.
bool SizeTone(const ToneSettings& settings, int64_t max_frames, int64_t* frames);

// Plays the settings' frequency for their length at their level and rate on
// their device, then returns true; `settings.rate` takes the rate the device
// settled on. Returns false, with one line on stdout and nothing played, for
// a tone that cannot be made (see SizeTone) or allocated. Device failures end
// the process (PLAY). Does not look at the pitch source.
bool PlayTone(ToneSettings& settings);
