#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

namespace korvane {

// Marks a training row that a tree did not record in any leaf.
inline constexpr std::uint32_t NO_LEAF = 0xFFFFFFFFu;

// Where one tree recorded each training row: the row's leaf, or a code for a
// row it did not record, the largest value of the narrowest unsigned type that
// also holds every leaf (8 bits up to 255 leaves, 16 up to 65,535, else 32).
// A tree at a million rows has some 50,000 leaves, so 16 bits hold its record,
// and smaller forests mostly take a byte per row instead of four.
class RecordedLeaves {
 public:
  RecordedLeaves() = default;

  // The record of a tree of n_leaves leaves given at 32 bits, NO_LEAF where
  // it recorded no leaf.
  RecordedLeaves(std::span<const std::uint32_t> record, std::size_t n_leaves);

  // f(codes, not_recorded): the codes as a span of their own type and the code
  // of a row not recorded. A loop over them compiles once per width, with
  // nothing to decide per row.
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(
        [&f](const auto& codes) -> decltype(auto) {
          using Code = typename std::remove_cvref_t<decltype(codes)>::value_type;
          return f(std::span<const Code>(codes), std::numeric_limits<Code>::max());
        },
        codes_);
  }

  // Bits per row: 8, 16 or 32.
  [[nodiscard]] unsigned width() const;

  friend bool operator==(const RecordedLeaves&, const RecordedLeaves&) = default;

 private:
  std::variant<std::vector<std::uint8_t>, std::vector<std::uint16_t>, std::vector<std::uint32_t>>
      codes_;
};

}  // namespace korvane
