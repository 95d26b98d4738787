// console/tone_memory.h: the two arrays of one tone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// Returns memory mapped by AllocateToneArrays to the system.
struct Unmapper {
  size_t bytes;  // the length that was mapped
  void operator()(void* memory) const;
};

// The sample array (8 bytes a frame) and the packed block (3 bytes a frame)
// of one tone, owned by the caller and freed when they go out of scope.
struct ToneArrays {
  std::unique_ptr<int64_t[], Unmapper> samples;
  std::unique_ptr<unsigned char[], Unmapper> block;
};

// Allocates both arrays for `frames` frames, uninitialised: MakeTone and
// NUM24_TO_CHAR write every byte. The memory is faulted in at once, which
// is cheaper than page by page for long tones.
// Returns false, with nothing allocated, when the memory is not available.
// REQUIRES: 0 <= frames, with frames x 11 bytes addressable.
bool AllocateToneArrays(int64_t frames, ToneArrays* arrays);

// The most memory one tone may take, in bytes: half of the machine's
// physical memory (4 GiB when it cannot be read), so that asking for a very
// long tone is refused instead of driving the system into swap.
int64_t ToneMemoryBudget();
