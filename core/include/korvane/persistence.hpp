#pragma once

// A compact, versioned binary form of the three fitted model kinds (the
// layout is documented in docs/FORMAT.md). Reading validates every field
// before a model exists and reports what is wrong as a FormatError.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <variant>
#include <vector>

#include "korvane/forest.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/step_function.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// Data that is not a model this version can read, with what is wrong with it.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The newest version this build writes and reads. Each model is written in the
// oldest version that holds it (2 unless it needs a later one), so a model
// that an older korvane could read keeps the bytes it always had.
inline constexpr std::uint32_t kFormatVersion = 3;

// A log-rank survival tree, a log-rank survival forest or a gradient forest.
using Model = std::variant<Tree<StepFunction>, Forest<StepFunction>, Forest<NoPayload>>;

[[nodiscard]] std::vector<std::uint8_t> to_bytes(const Tree<StepFunction>& tree);
[[nodiscard]] std::vector<std::uint8_t> to_bytes(const Forest<StepFunction>& forest);
[[nodiscard]] std::vector<std::uint8_t> to_bytes(const Forest<NoPayload>& forest);

// The model `bytes` hold; FormatError when they are not a valid model.
[[nodiscard]] Model from_bytes(std::span<const std::uint8_t> bytes);

}  // namespace korvane
