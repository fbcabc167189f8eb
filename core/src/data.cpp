#include "korvane/data.hpp"

#include <string>

#include "korvane/error.hpp"

namespace korvane {

SurvivalData::SurvivalData(MatrixView x, std::span<const double> time,
                           std::span<const std::uint8_t> event)
    : x(x), time(time), event(event) {
  if (x.n_rows != time.size()) {
    fail("x has " + std::to_string(x.n_rows) + " rows but y has " + std::to_string(time.size()) +
         " elements");
  }
}

}  // namespace korvane
