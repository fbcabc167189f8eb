#pragma once

// What the writer and the reader of the model format share: the header's
// constants and counts, and the encodings both sides use. The layout is
// documented in docs/FORMAT.md.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "korvane/params.hpp"
#include "korvane/persistence.hpp"
#include "persistence/byte_stream.hpp"

namespace korvane::detail::format {

// The high byte catches transfers that strip the eighth bit, CR LF and LF
// catch newline conversion, and 0x1A stops a text-mode read.
constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'K', 'R', 'V', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kChecksumSize = 8;

enum class Kind : std::uint8_t { log_rank_tree = 1, log_rank_forest = 2, gradient_forest = 3 };

// What the header counts; every section's size follows from these.
struct Counts {
  std::uint32_t n_features = 0;
  std::uint32_t n_trees = 0;
  std::uint64_t n_nodes = 0;   // over all trees
  std::uint64_t n_times = 0;   // distinct times of the leaf curves
  std::uint64_t n_points = 0;  // (time, value) points over all leaf curves
  std::uint64_t n_train_samples = 0;
};

[[noreturn]] inline void invalid(const std::string& message) { throw FormatError(message); }

inline std::string tree_name(std::size_t b) { return "tree " + std::to_string(b); }

// Position of a double in IEEE total order, so that -0.0 and 0.0 stay two
// distinct times and a curve reads back with the very bits it was written with.
inline std::uint64_t order_key(double t) {
  const auto bits = std::bit_cast<std::uint64_t>(t);
  return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

inline double from_order_key(std::uint64_t key) {
  return std::bit_cast<double>(key >> 63 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// The first version that stores where each split sends missing values (files
// of earlier versions send them right) and that may hold sample weights.
constexpr std::uint32_t kFirstVersionWithMissingSides = 2;
constexpr std::uint32_t kFirstVersionWithWeights = 2;

// The oldest version written (every model fits it but those with growth
// rules), and the first that holds the growth rules min_samples_split,
// max_leaf_nodes and min_weight_fraction_leaf.
constexpr std::uint32_t kOldestVersionWritten = 2;
constexpr std::uint32_t kFirstVersionWithGrowthRules = 3;

// kWeighted: the forest was fitted with sample weights, which follow the
// recorded leaves. kGrowthRules: growth rules other than the defaults, which
// follow the settings.
enum SettingFlags : std::uint8_t {
  kBootstrap = 1,
  kHonest = 2,
  kDepthLimited = 4,
  kWeighted = 8,
  kGrowthRules = 16
};

// Whether a tree's settings include a growth rule other than its default.
inline bool has_growth_rules(const TreeParams& params) {
  return params.min_samples_split != TreeParams{}.min_samples_split ||
         params.max_leaf_nodes.has_value() ||
         params.min_weight_fraction_leaf != TreeParams{}.min_weight_fraction_leaf;
}

// Split features take the bits of the largest feature index.
inline unsigned feature_width(std::uint32_t n_features) {
  return width_for(n_features == 0 ? 0 : n_features - 1);
}

}  // namespace korvane::detail::format
