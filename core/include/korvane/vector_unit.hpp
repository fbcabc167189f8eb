#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// The vector instructions a split search is compiled for. Every unit gives the
// same bits; only the speed differs. Off x86 only the baseline exists (portable
// vector code in 16-byte registers).
enum class VectorUnit : std::uint8_t { kAvx512, kAvx2, kBaseline };

inline constexpr std::size_t kVectorUnits = 3;

// Whether this build and this processor can run code compiled for `unit`.
[[nodiscard]] bool supports(VectorUnit unit);
// The widest unit this processor has, found once.
[[nodiscard]] VectorUnit widest_vector_unit();

}  // namespace korvane
