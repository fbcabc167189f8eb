#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

// How many candidate features each node draws.
struct MaxFeatures {
  enum class Kind : std::uint8_t { All, Sqrt, Fixed };
  Kind kind = Kind::All;
  std::uint32_t count = 0;  // only for Fixed

  [[nodiscard]] static MaxFeatures all() { return {Kind::All, 0}; }
  [[nodiscard]] static MaxFeatures sqrt() { return {Kind::Sqrt, 0}; }
  [[nodiscard]] static MaxFeatures fixed(std::uint32_t k) { return {Kind::Fixed, k}; }

  // mtry for p >= 1 features, clamped into [1, p]; 0 for no features.
  [[nodiscard]] std::uint32_t resolve(std::size_t p) const;

  // Why a fit on p features refuses this setting, or nothing: a fixed count
  // lies in [1, p].
  [[nodiscard]] std::optional<std::string> mismatch(std::size_t p) const;

  friend bool operator==(const MaxFeatures&, const MaxFeatures&) = default;
};

struct TreeParams {
  std::optional<double> honesty;  // share of rows used for splitting
  std::optional<std::uint32_t> max_depth;
  MaxFeatures max_features;
  std::size_t min_samples_leaf = 1;
  // A node of fewer splitting occurrences is a leaf (as is one of fewer than
  // 2 · min_samples_leaf, which the children could not hold).
  std::size_t min_samples_split = 2;
  // Set: the tree grows best first (the frontier node whose split scores
  // highest is split next) until it has this many leaves; unset: depth first,
  // without a limit on leaves.
  std::optional<std::size_t> max_leaf_nodes;
  // Each child holds at least this share of the weight of the tree's sample
  // (of its splitting rows, and of its estimation rows under honesty).
  double min_weight_fraction_leaf = 0.0;

  friend bool operator==(const TreeParams&, const TreeParams&) = default;
};

// The min_samples_split that grows the same trees as `min_samples_split`: a
// node of fewer than 2 · min_samples_leaf rows is never split, so a floor at
// or below that says nothing more and is kept as the default, 2. Settings that
// grow the same trees then compare equal, as joining pieces and a saved
// model's bytes need.
[[nodiscard]] std::size_t effective_min_samples_split(std::size_t min_samples_split,
                                                      std::size_t min_samples_leaf);

struct ForestParams {
  TreeParams tree;
  std::size_t n_trees = 100;
  bool bootstrap = true;
  double subsample_fraction = 1.0;
  // Trees come in groups of this many ("little bags") that draw their samples
  // from one half-sample of the rows, so that the spread between groups
  // estimates the variance of a forest-weighted estimate; 1 = no groups.
  std::size_t ci_group_size = 1;

  friend bool operator==(const ForestParams&, const ForestParams&) = default;
};

// Why a fit refuses these settings, or nothing; the messages are the fit's.
// A tree: an honest tree's fraction lies in (0, 1). A forest: the
// subsample fraction lies in (0, 1] and it has a tree, then its trees' rule.
// (max_features depends on the data: MaxFeatures::mismatch.)
[[nodiscard]] std::optional<std::string> settings_mismatch(const TreeParams& params);
[[nodiscard]] std::optional<std::string> settings_mismatch(const ForestParams& params);

}  // namespace korvane
