#include "korvane/recorded_leaves.hpp"

#include <algorithm>

namespace korvane {

namespace {

// NO_LEAF's low bits are the largest Code, the code of a row not recorded, and
// every leaf lies below it: truncation is the whole conversion.
template <class Code>
std::vector<Code> narrowed(std::span<const std::uint32_t> record) {
  std::vector<Code> codes(record.size());
  std::transform(record.begin(), record.end(), codes.begin(),
                 [](std::uint32_t leaf) { return static_cast<Code>(leaf); });
  return codes;
}

}  // namespace

RecordedLeaves::RecordedLeaves(std::span<const std::uint32_t> record, std::size_t n_leaves) {
  if (n_leaves <= std::numeric_limits<std::uint8_t>::max()) {
    codes_ = narrowed<std::uint8_t>(record);
  } else if (n_leaves <= std::numeric_limits<std::uint16_t>::max()) {
    codes_ = narrowed<std::uint16_t>(record);
  } else {
    codes_ = narrowed<std::uint32_t>(record);
  }
}

unsigned RecordedLeaves::width() const {
  return visit([](auto codes, auto) { return unsigned{8 * sizeof(codes[0])}; });
}

}  // namespace korvane
