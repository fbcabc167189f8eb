#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "korvane/memory.hpp"

namespace korvane {
namespace {

TEST(SaturatingBytes, StayAtTheMaximumInsteadOfWrapping) {
  EXPECT_EQ(saturating_mul(std::uint64_t{1} << 58, 64), kSaturated);
  EXPECT_EQ(saturating_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 31), std::uint64_t{1} << 63);
  EXPECT_EQ(saturating_add(kSaturated - 1, 2), kSaturated);
  EXPECT_EQ(saturating_mul(0, kSaturated), 0u);
}

struct LimitFileCase {
  std::string content;
  std::optional<std::uint64_t> expected;
};

class CgroupMemory : public testing::TestWithParam<LimitFileCase> {};

TEST_P(CgroupMemory, ReadsABoundOrNone) {
  EXPECT_EQ(memory_from_cgroup(GetParam().content), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CgroupMemory,
    testing::Values(LimitFileCase{"1073741824\n", 1073741824}, LimitFileCase{"max\n", std::nullopt},
                    LimitFileCase{"9223372036854771712\n", 9223372036854771712u},
                    LimitFileCase{"", std::nullopt}, LimitFileCase{"-1\n", std::nullopt},
                    LimitFileCase{"12 34", std::nullopt}));

TEST(MemoryLimit, NeverExceedsPhysicalMemory) {
  const auto physical = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                        static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
  EXPECT_GT(memory_limit(), 0u);
  EXPECT_LE(memory_limit(), physical);
}

// What lets reserve() skip reading the limit for small needs: the peak so far
// is real memory, in bytes, so it never lies above the limit.
TEST(MemoryLimit, PeakResidentMemoryLiesWithinIt) {
  const std::uint64_t peak = peak_resident_bytes();
  EXPECT_GT(peak, 1u << 20);
  EXPECT_LE(peak, memory_limit());
}

struct ReserveCase {
  std::uint64_t bytes;
  std::string message;  // empty: accepted
};

class Reserve : public testing::TestWithParam<ReserveCase> {};

TEST_P(Reserve, RefusesMoreThanTheLimitAndSaysHowMuchWasNeeded) {
  const auto& c = GetParam();
  if (c.message.empty()) {
    EXPECT_NO_THROW(reserve(c.bytes, "a buffer", 1000));
    return;
  }
  try {
    reserve(c.bytes, "a buffer", 1000);
    ADD_FAILURE() << "accepted " << c.bytes;
  } catch (const std::bad_alloc& error) {
    EXPECT_EQ(error.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Reserve,
    testing::Values(
        ReserveCase{0, ""}, ReserveCase{1000, ""},
        ReserveCase{1001,
                    "a buffer needs 1001 bytes, more than the 1000 bytes of memory this process "
                    "can have"},
        ReserveCase{kSaturated,
                    "a buffer needs more than 18446744073709551615 bytes, more than the 1000 "
                    "bytes of memory this process can have"}));

}  // namespace
}  // namespace korvane
