#include "console/tone_memory.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr int64_t kGiB = int64_t{1} << 30;

struct BudgetCase {
  const char* what;
  int64_t physical_bytes;
  uint64_t size_max;
  int64_t budget;
};

std::ostream& operator<<(std::ostream& os, const BudgetCase& c) { return os << c.what; }

class ToneMemoryBudgetTest : public testing::TestWithParam<BudgetCase> {};

TEST_P(ToneMemoryBudgetTest, HalfOfMemoryWithinAddresses) {
  const BudgetCase& c = GetParam();
  EXPECT_EQ(c.budget, ToneMemoryBudget(c.physical_bytes, c.size_max));
}

// With 32-bit sizes, 390451572 frames of 8 + 3 bytes take 4294967292 bytes;
// one frame more would take 4294967303, beyond 2^32 - 1.
INSTANTIATE_TEST_SUITE_P(
    Machines, ToneMemoryBudgetTest,
    testing::Values(BudgetCase{"64-bit, 16 GiB", 16 * kGiB, UINT64_MAX, 8 * kGiB},
                    // A page count that is not known (-1) times the page size.
                    BudgetCase{"64-bit, unknown", -4096, UINT64_MAX, 4 * kGiB},
                    BudgetCase{"32-bit, 4 GiB", 4 * kGiB, UINT32_MAX, 2 * kGiB},
                    BudgetCase{"32-bit, 16 GiB", 16 * kGiB, UINT32_MAX, 4294967292},
                    BudgetCase{"32-bit, unknown", 0, UINT32_MAX, 4294967292}));

// More than the address space holds (on a 32-bit system, the two arrays
// together): refused, with nothing mapped, not reported as made.
TEST(AllocateToneArraysTest, RefusesWhatCannotBeMapped) {
  ToneArrays arrays;
  EXPECT_FALSE(AllocateToneArrays(static_cast<int64_t>(SIZE_MAX / kToneFrameBytes), &arrays));
  EXPECT_EQ(nullptr, arrays.samples);
  EXPECT_EQ(nullptr, arrays.block);
}

}  // namespace
