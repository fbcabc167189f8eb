#pragma once

#include <cstdint>
#include <span>

#include "korvane/step_function.hpp"

namespace korvane {

// Nelson–Aalen cumulative hazard of the listed rows; a row listed k times counts
// as k observations. Times must not be NaN.
[[nodiscard]] StepFunction nelson_aalen(std::span<const double> time,
                                        std::span<const std::uint8_t> event,
                                        std::span<const std::uint32_t> rows);

}  // namespace korvane
