// A hash of fitted trees for the C++ benchmark programs beside this header, so
// that two builds' trees compare in one run: every bit of every split and leaf
// index, in node order (FNV-1a over 64-bit words).
#pragma once

#include <bit>
#include <cstdint>
#include <variant>

#include "korvane/tree.hpp"

namespace korvane::bench {

struct TreeHash {
  std::uint64_t value = 1469598103934665603ull;

  void mix(std::uint64_t word) { value = (value ^ word) * 1099511628211ull; }
  void mix(double number) { mix(std::bit_cast<std::uint64_t>(number)); }

  template <class Payload>
  void mix_nodes(const Tree<Payload>& tree) {
    for (const NodeKind& node : tree.nodes) {
      if (const auto* split = std::get_if<node::Split>(&node)) {
        mix(std::uint64_t{split->feature});
        mix(split->threshold);
        mix(split->score);
        mix(std::uint64_t{split->left});
        mix(std::uint64_t{split->right});
      } else {
        mix(std::uint64_t{std::get<node::Leaf>(node).leaf});
      }
    }
  }
};

}  // namespace korvane::bench
