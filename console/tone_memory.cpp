#include "console/tone_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr int64_t kUnknownMemoryBudget = int64_t{4} << 30;  // bytes

// Maps `bytes`, faulted in by the kernel in one pass rather than one trap
// per page as the generator first touches it: a 600 s tone is 71,000 pages.
// (Huge pages were faster still on an idle machine, but stalled for
// compaction whenever the page cache was busy, as it is right after writing
// a file.)
void* Map(size_t bytes) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

}  // namespace

void Unmapper::operator()(void* memory) const { munmap(memory, bytes); }

bool AllocateToneArrays(int64_t frames, ToneArrays* arrays) {
  const size_t count = static_cast<size_t>(frames);
  // At least one byte each, so that an empty tone has addresses too.
  const size_t sample_bytes = std::max<size_t>(count * kSampleBytes, 1);
  const size_t block_bytes = std::max<size_t>(count * kPackedFrameBytes, 1);
  void* samples = Map(sample_bytes);
  if (samples == nullptr) return false;
  void* block = Map(block_bytes);
  if (block == nullptr) {
    Unmapper{sample_bytes}(samples);
    return false;
  }
  arrays->samples =
      std::unique_ptr<int64_t[], Unmapper>(static_cast<int64_t*>(samples), Unmapper{sample_bytes});
  arrays->block = std::unique_ptr<unsigned char[], Unmapper>(static_cast<unsigned char*>(block),
                                                             Unmapper{block_bytes});
  return true;
}

int64_t ToneMemoryBudget(int64_t physical_bytes, uint64_t size_max) {
  const int64_t half = physical_bytes > 0 ? physical_bytes / 2 : kUnknownMemoryBudget;
  // A 32-bit size counts up to 4 GiB, less than half of a machine with more
  // than 8 GiB (PAE), and less than the budget for unknown memory.
  const uint64_t addressable = size_max / kToneFrameBytes * kToneFrameBytes;
  return static_cast<int64_t>(std::min(static_cast<uint64_t>(half), addressable));
}

int64_t ToneMemoryBudget() {
  // The page size is always known; a page count that is not (-1) makes a
  // size below zero, which the budget takes as unknown.
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  return ToneMemoryBudget(physical, SIZE_MAX);
}
