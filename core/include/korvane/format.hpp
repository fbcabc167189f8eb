#pragma once

#include <cstddef>
#include <string>

namespace korvane {

// Shortest decimal that reads back to the same double, never in exponent form
// and without a trailing ".0": 1.0 -> "1", -0.0 -> "-0", 1e-7 -> "0.0000001",
// NaN -> "NaN", infinities -> "inf" / "-inf".
[[nodiscard]] std::string format_shortest(double value);

// A count of rows as messages write it: "1 row", "3 rows".
[[nodiscard]] std::string format_rows(std::size_t count);

}  // namespace korvane
