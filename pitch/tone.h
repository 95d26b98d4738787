// pitch/tone.h: sine synthesis and 24-bit packing. Full scale is 8388608.
#pragma once
#include <cstdint>

// Bytes of one frame in a packed block: a signed 24-bit sample.
constexpr int64_t kPackedFrameBytes = 3;

// Largest tone MakeTone can make, in frames: the ends of its cycles are
// counted in signed 32 bits. Longer blocks are silence.
constexpr int64_t kMaxToneFrames = 2147483647;

// Fills samples[0, count) with whole cycles of a `frequency` Hz sine at
// `rate` Hz, peak `level` percent of full scale, starting at phase 0; the
// frames after the last whole cycle that ends strictly before `count` are 0.
// A negative frequency sounds as its magnitude; one above rate / 2 is held
// at rate / 2. Gives silence (all zeros) when no whole cycle fits, and when
// the tone cannot be made: a frequency of 0 or not a number, one whose
// period reaches 2^31 frames, a count within one period of 2^31 or beyond,
// a level that is not a number or beyond +-100. Writes nothing when
// count <= 0. REQUIRES: samples holds count values.
void MakeTone(int64_t* samples, float frequency, uint32_t rate, int64_t count, float level);

// Packs samples[0, count) into block[0, 3 * count) as signed 24-bit
// little-endian two's complement (the low 24 bits of each sample). Writes
// nothing when count <= 0. REQUIRES: block holds kPackedFrameBytes * count
// bytes.
void NUM24_TO_CHAR(const int64_t* samples, unsigned char* block, int64_t count);
