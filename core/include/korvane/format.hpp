#pragma once

#include <string>

namespace korvane {

// Shortest decimal that reads back to the same double, never in exponent form
// and without a trailing ".0": 1.0 -> "1", -0.0 -> "-0", 1e-7 -> "0.0000001",
// NaN -> "NaN", infinities -> "inf" / "-inf".
[[nodiscard]] std::string format_shortest(double value);

}  // namespace korvane
