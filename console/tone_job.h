// console/tone_job.h: the road of every tone, from the settings to a packed
// block that is played or written to a WAV file.
#pragma once
#include <algorithm>
#include <cstdint>

#include "audio_out/wav_file.h"
#include "console/settings.h"
#include "console/tone_memory.h"
#include "pitch/tone.h"

// What a tone is made for, and the limits that follow from it.
struct ToneUse {
  int64_t max_frames;
  uint32_t max_rate;         // Hz
  const char* limit_reason;  // ends the line refusing frames or rate beyond these
  const char* not_done;      // ends the line refusing a tone memory cannot hold
};

// Played: the generator's limit only.
constexpr ToneUse kPlayUse{kMaxToneFrames, UINT32_MAX, "", "no tone made"};
// Exported: also what the header's 32-bit size and rate fields can describe.
constexpr ToneUse kExportUse{std::min(kMaxToneFrames, kMaxWavDataBytes / kPackedFrameBytes),
                             static_cast<uint32_t>(kMaxWavByteRate / kPackedFrameBytes),
                             ", the most a WAV file can hold", "nothing exported"};

// Frames of a tone of `length` seconds at `rate_hz`, computed in single
// precision as the settings define it: (int64)(float(rate_hz) * length).
// REQUIRES: float(rate_hz) * length is finite and below 2^63.
int64_t FrameCount(uint32_t rate_hz, float length);

// Checks that a tone of the settings' length and rate can be made for `use`
// in at most `memory_budget` bytes; on success stores the frame count (0 for
// a negative length) in `frames` and returns true. Otherwise prints one line
// on stdout saying why and returns false; nothing is allocated either way.
bool SizeTone(const ToneSettings& settings, const ToneUse& use, int64_t memory_budget,
              int64_t* frames);

// The frequency of the settings' tone in Hz: in note mode that of the note,
// octave and cents; in frequency mode the typed one.
float ToneFrequency(const ToneSettings& settings);

// Plays the settings' tone for their length at their level on their device,
// then returns true. The tone is made at the rate the device itself runs at
// nearest the settings' rate, which `settings.rate` takes (with a warning
// when it changes; see TonePlayback and PLAY). Returns false, with one line on
// stdout and nothing played, for a tone that cannot be made or held in
// `memory_budget` bytes (see SizeTone). Device failures end the process
// (PLAY).
bool PlayTone(ToneSettings& settings, int64_t memory_budget);

// Writes the settings' tone to `settings.export_file` as a 24-bit mono WAV
// file; prints nothing on success. A tone that cannot be made, held in
// `memory_budget` bytes or described by a WAV header is refused with one
// line before anything is written. When the header or the samples cannot be
// written completely, the writers say so and a regular file is removed
// again, with one more line.
void ExportTone(const ToneSettings& settings, int64_t memory_budget);
