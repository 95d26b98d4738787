// console/tone_memory.h: the two arrays of one tone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pitch/tone.h"

// Bytes one frame takes in the sample array (an int64_t) and in the packed
// block.
constexpr int64_t kSampleBytes = sizeof(int64_t);
constexpr int64_t kToneFrameBytes = kSampleBytes + kPackedFrameBytes;

// Returns memory mapped by AllocateToneArrays to the system.
struct Unmapper {
  size_t bytes;  // the length that was mapped
  void operator()(void* memory) const;
};

// The sample array (kSampleBytes a frame) and the packed block
// (kPackedFrameBytes a frame) of one tone, owned by the caller and freed
// when they go out of scope.
struct ToneArrays {
  std::unique_ptr<int64_t[], Unmapper> samples;
  std::unique_ptr<unsigned char[], Unmapper> block;
};

// Allocates both arrays for `frames` frames, uninitialised: MakeTone and
// NUM24_TO_CHAR write every byte. The memory is faulted in at once, which
// is cheaper than page by page for long tones.
// Returns false, with nothing allocated, when the memory is not available.
// REQUIRES: 0 <= frames, with frames x kToneFrameBytes <= SIZE_MAX (true of
// every tone within ToneMemoryBudget()).
bool AllocateToneArrays(int64_t frames, ToneArrays* arrays);

// The most memory one tone may take, in bytes, on a machine with
// `physical_bytes` of memory (0 or less when unknown) whose sizes go up to
// `size_max`: half of the memory (4 GiB when unknown), so that asking for a
// very long tone is refused instead of driving the system into swap; and
// never more than `size_max` rounded down to whole frames of
// kToneFrameBytes, so that on a 32-bit system the array sizes of a tone
// within the budget cannot wrap.
int64_t ToneMemoryBudget(int64_t physical_bytes, uint64_t size_max);

// The budget for this machine's physical memory and SIZE_MAX.
int64_t ToneMemoryBudget();
