// Reading the model format: every field is checked before a model exists.

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "korvane/builder.hpp"
#include "korvane/error.hpp"
#include "korvane/format.hpp"
#include "korvane/persistence.hpp"
#include "korvane/sample_weights.hpp"
#include "korvane/sampling.hpp"
#include "persistence/byte_stream.hpp"
#include "persistence/checksum.hpp"
#include "persistence/format.hpp"

namespace korvane {

namespace {

using detail::BitReader;
using detail::ByteReader;
using detail::width_for;
using namespace detail::format;

struct Header {
  std::uint32_t version;
  Kind kind;
  Counts counts;
};

void check_magic(std::span<const std::uint8_t> bytes) {
  const std::size_t n = std::min(bytes.size(), kMagic.size());
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), kMagic.begin())) {
    invalid("not a korvane model: the data does not start with the format's magic bytes");
  }
}

std::uint32_t checked_version(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 12) {
    invalid("truncated: " + std::to_string(bytes.size()) + " bytes hold no format version");
  }
  const auto version = detail::load_le<std::uint32_t>(bytes.data() + 8);
  if (version == 0 || version > kFormatVersion) {
    invalid("unsupported format version " + std::to_string(version) +
            "; this korvane reads versions 1 to " + std::to_string(kFormatVersion));
  }
  return version;
}

void check_size_and_checksum(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize + kChecksumSize) {
    invalid("truncated: " + std::to_string(bytes.size()) + " bytes are fewer than the " +
            std::to_string(kHeaderSize + kChecksumSize) + " of a header and checksum");
  }
  const auto declared = detail::load_le<std::uint64_t>(bytes.data() + 16);
  if (declared > bytes.size()) {
    invalid("truncated: the header declares " + std::to_string(declared) + " bytes but only " +
            std::to_string(bytes.size()) + " are present");
  }
  if (declared < bytes.size()) {
    invalid(std::to_string(bytes.size() - declared) +
            " unexpected bytes follow the end of the model (the header declares " +
            std::to_string(declared) + " bytes)");
  }
  const std::size_t body = bytes.size() - kChecksumSize;
  const auto stored = detail::load_le<std::uint64_t>(bytes.data() + body);
  if (stored != detail::xxh64(bytes.first(body))) {
    invalid("checksum mismatch: the data is corrupted");
  }
}

Kind checked_kind(std::uint8_t kind) {
  if (kind < 1 || kind > 3) invalid("unknown model kind " + std::to_string(kind));
  return static_cast<Kind>(kind);
}

void check_counts(Kind kind, const Counts& counts) {
  if (kind == Kind::log_rank_tree && (counts.n_trees != 1 || counts.n_train_samples != 0)) {
    invalid(
        "inconsistent counts: a tree model holds 1 tree and no training rows, the header says " +
        std::to_string(counts.n_trees) + " and " + std::to_string(counts.n_train_samples));
  }
  if (kind == Kind::gradient_forest && (counts.n_times != 0 || counts.n_points != 0)) {
    invalid("inconsistent counts: a gradient forest has no leaf curves");
  }
  // What a fit refuses: no column, and a forest without trees or rows.
  if (counts.n_features == 0) invalid("inconsistent counts: a model has at least one feature");
  if (kind != Kind::log_rank_tree && (counts.n_trees == 0 || counts.n_train_samples == 0)) {
    invalid("inconsistent counts: a forest holds at least one tree grown on at least one row");
  }
  if (counts.n_train_samples > UINT32_MAX) {
    invalid("inconsistent counts: " + std::to_string(counts.n_train_samples) +
            " training rows are more than 4294967295");
  }
}

Header read_header(std::span<const std::uint8_t> bytes) {
  check_magic(bytes);
  const std::uint32_t version = checked_version(bytes);
  check_size_and_checksum(bytes);
  ByteReader in(bytes.subspan(12, kHeaderSize - 12));
  const Kind kind = checked_kind(in.u8("the model kind"));
  const auto reserved = in.take(3, "reserved bytes");
  if (std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0; })) {
    invalid("reserved header bytes are not zero");
  }
  in.u64("the file size");
  Counts counts;
  counts.n_features = in.u32("n_features");
  counts.n_trees = in.u32("n_trees");
  counts.n_nodes = in.u64("n_nodes");
  counts.n_times = in.u64("n_times");
  counts.n_points = in.u64("n_points");
  counts.n_train_samples = in.u64("n_train_samples");
  check_counts(kind, counts);
  return {version, kind, counts};
}

MaxFeatures read_max_features(ByteReader& in) {
  const std::uint32_t count = in.u32("settings");
  const std::uint8_t kind = in.u8("settings");
  if (kind > static_cast<std::uint8_t>(MaxFeatures::Kind::Fixed)) {
    invalid("unknown max_features kind " + std::to_string(kind));
  }
  const MaxFeatures max_features{static_cast<MaxFeatures::Kind>(kind), count};
  if (max_features.kind != MaxFeatures::Kind::Fixed && count != 0) {
    invalid("max_features has a count but is not a fixed number");
  }
  return max_features;
}

// The growth rules that follow the settings; a forest grown with them holds
// one at least other than its default.
void read_growth_rules(ByteReader& in, TreeParams& params) {
  params.min_samples_split = in.u64("growth rules");
  const std::uint64_t max_leaf_nodes = in.u64("growth rules");
  params.min_weight_fraction_leaf = in.f64("growth rules");
  // 0 stands for no limit; the ranges are checked with the other settings.
  if (max_leaf_nodes != 0) params.max_leaf_nodes = max_leaf_nodes;
  if (!has_growth_rules(params)) invalid("settings: growth rules that are all the defaults");
}

// The fit's settings with the flags and optional values they describe.
ForestParams read_params(ByteReader& in, std::uint32_t version, std::uint64_t& seed,
                         std::uint64_t& first_tree, bool& weighted) {
  ForestParams params;
  seed = in.u64("settings");
  first_tree = in.u64("settings");
  params.n_trees = in.u64("settings");
  params.tree.min_samples_leaf = in.u64("settings");
  params.subsample_fraction = in.f64("settings");
  const double honesty = in.f64("settings");
  const std::uint32_t max_depth = in.u32("settings");
  params.tree.max_features = read_max_features(in);
  const std::uint8_t flags = in.u8("settings");
  const std::uint32_t group_size = in.u32("settings");
  const auto reserved = in.take(2, "settings");
  // Version 1 knew no weights: its readers refuse the flag, and so does this one.
  const std::uint8_t known = kBootstrap | kHonest | kDepthLimited |
                             (version >= kFirstVersionWithWeights ? kWeighted : 0) |
                             (version >= kFirstVersionWithGrowthRules ? kGrowthRules : 0);
  if ((flags & ~known) != 0 ||
      std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0; })) {
    invalid("unknown settings flags or reserved bytes that are not zero");
  }
  if (group_size == 1) invalid("settings: a ci_group_size of 1 is stored as 0");
  params.ci_group_size = group_size == 0 ? 1 : group_size;
  params.bootstrap = (flags & kBootstrap) != 0;
  weighted = (flags & kWeighted) != 0;
  if (flags & kHonest) params.tree.honesty = honesty;
  if (flags & kDepthLimited) params.tree.max_depth = max_depth;
  if ((!(flags & kHonest) && std::bit_cast<std::uint64_t>(honesty) != 0) ||
      (!(flags & kDepthLimited) && max_depth != 0)) {
    invalid("settings hold a value for an option that is off");
  }
  if (flags & kGrowthRules) read_growth_rules(in, params.tree);
  return params;
}

// The rules of the fit, on the settings alone and with the header's counts.
void check_params(const ForestParams& params, std::uint64_t first_tree, const Counts& counts) {
  if (const auto mismatch = settings_mismatch(params)) invalid("settings: " + *mismatch);
  if (const auto mismatch = params.tree.max_features.mismatch(counts.n_features)) {
    invalid("settings: " + *mismatch);
  }
  const std::uint32_t n_trees = counts.n_trees;
  if (first_tree > params.n_trees || n_trees > params.n_trees - first_tree) {
    invalid("inconsistent counts: trees " + std::to_string(first_tree) + " to " +
            std::to_string(first_tree + n_trees) + " are not part of a forest of " +
            std::to_string(params.n_trees) + " trees");
  }
}

// The draws of the fit's trees from `rows` training rows (those of positive
// weight in a weighted fit), as the fit checks them.
void check_draws(std::size_t rows, const ForestParams& params, const std::string& context) {
  if (const auto mismatch = little_bag_mismatch(rows, params)) invalid(context + *mismatch);
  if (const auto drawn = too_few_rows_drawn(rows, params)) {
    invalid(context + "each tree draws " + format_rows(*drawn) + " of " + format_rows(rows) +
            ", but an honest tree needs at least 2");
  }
}

// Whether sample weights follow the recorded leaves.
template <class Payload>
bool read_settings(ByteReader& in, Forest<Payload>& forest, const Header& header) {
  bool weighted = false;
  forest.params = read_params(in, header.version, forest.seed, forest.first_tree, weighted);
  check_params(forest.params, forest.first_tree, header.counts);
  check_draws(header.counts.n_train_samples, forest.params, "settings: ");
  return weighted;
}

// Node counts of the trees: each odd (a binary tree of n leaves has n - 1
// splits) and together the header's n_nodes.
std::vector<std::uint32_t> read_tree_sizes(ByteReader& in, const Counts& counts) {
  ByteReader table(in.take(std::size_t{4} * counts.n_trees, "the tree sizes"));
  std::vector<std::uint32_t> sizes(counts.n_trees);
  std::uint64_t total = 0;
  for (std::size_t b = 0; b < sizes.size(); ++b) {
    sizes[b] = table.u32("the tree sizes");
    if (sizes[b] % 2 == 0) {
      invalid(tree_name(b) + " has " + std::to_string(sizes[b]) +
              " nodes; a binary tree has an odd number");
    }
    total += sizes[b];
  }
  if (total != counts.n_nodes) {
    invalid("inconsistent counts: the trees have " + std::to_string(total) +
            " nodes but the header says " + std::to_string(counts.n_nodes));
  }
  return sizes;
}

// The splits of all trees in node order, read as the nodes ask for them.
class SplitSource {
 public:
  SplitSource(ByteReader& in, std::uint64_t n_splits, std::uint32_t n_features,
              std::uint32_t version)
      : n_features_(n_features),
        features_(in.bits(n_splits, feature_width(n_features), "the split features")),
        thresholds_(in.f64s(n_splits, "the split thresholds")),
        scores_(in.f64s(n_splits, "the split scores")),
        has_missing_sides_(version >= kFirstVersionWithMissingSides),
        missing_sides_(in.bits(has_missing_sides_ ? n_splits : 0, 1, "the missing-value sides")) {}

  node::Split next(std::size_t b, std::uint32_t i, std::uint32_t left, std::uint32_t right) {
    if (at_ == thresholds_.size()) fail("more splits than the tree sizes allow");
    const bool missing_left = has_missing_sides_ && missing_sides_.next() != 0;
    const node::Split split{.threshold = thresholds_[at_],
                            .score = scores_[at_],
                            .feature = features_.next(),
                            .left = left,
                            .right = right,
                            .missing_left = missing_left};
    ++at_;
    const auto where = [&] { return tree_name(b) + ", node " + std::to_string(i); };
    if (split.feature >= n_features_) {
      invalid(where() + ": split feature " + std::to_string(split.feature) +
              " is out of range for " + std::to_string(n_features_) + " features");
    }
    if (std::isnan(split.threshold)) invalid(where() + ": split threshold is NaN");
    if (std::isnan(split.score)) invalid(where() + ": split score is NaN");
    return split;
  }

  void finish() const {
    features_.finish("the split features");
    missing_sides_.finish("the missing-value sides");
  }

 private:
  std::uint32_t n_features_;
  BitReader features_;
  std::vector<double> thresholds_;
  std::vector<double> scores_;
  bool has_missing_sides_;
  BitReader missing_sides_;  // empty when the file has no sides
  std::size_t at_ = 0;
};

// Rebuilds tree b from its node kinds in post-order: a leaf opens a subtree,
// a split joins the last two open subtrees (left, then right). Any sequence
// that does not close into exactly one tree is refused.
template <class Payload>
Tree<Payload> read_shape(BitReader& kinds, SplitSource& splits, std::size_t b,
                         std::uint32_t n_nodes, std::uint32_t n_features) {
  Tree<Payload> tree;
  tree.n_features = n_features;
  tree.nodes.reserve(n_nodes);
  std::vector<std::uint32_t> open;
  std::uint32_t n_leaves = 0;
  for (std::uint32_t i = 0; i < n_nodes; ++i) {
    if (kinds.next() == 0) {
      tree.nodes.emplace_back(node::Leaf{n_leaves++});
      open.push_back(i);
      continue;
    }
    if (open.size() < 2) {
      invalid(tree_name(b) + ": the nodes do not form a tree (split node " + std::to_string(i) +
              " has fewer than two subtrees before it)");
    }
    const std::uint32_t right = open.back();
    open.pop_back();
    tree.nodes.emplace_back(splits.next(b, i, open.back(), right));
    open.back() = i;
  }
  if (open.size() != 1) {
    invalid(tree_name(b) + ": the nodes do not form a tree (they leave " +
            std::to_string(open.size()) + " separate subtrees)");
  }
  tree.root = n_nodes - 1;
  // Leaf curves are appended as they are read (read_curves).
  if constexpr (!std::is_same_v<Payload, StepFunction>) tree.leaves.resize(n_leaves);
  return tree;
}

template <class Payload>
std::vector<Tree<Payload>> read_trees(ByteReader& in, const Header& header) {
  const Counts& counts = header.counts;
  const std::vector<std::uint32_t> sizes = read_tree_sizes(in, counts);
  BitReader kinds = in.bits(counts.n_nodes, 1, "the node kinds");
  // A binary tree of n nodes has (n - 1) / 2 splits.
  SplitSource splits(in, (counts.n_nodes - counts.n_trees) / 2, counts.n_features, header.version);
  std::vector<Tree<Payload>> trees;
  trees.reserve(sizes.size());
  for (std::size_t b = 0; b < sizes.size(); ++b) {
    trees.push_back(read_shape<Payload>(kinds, splits, b, sizes[b], counts.n_features));
  }
  kinds.finish("the node kinds");
  splits.finish();
  return trees;
}

// The distinct curve times: strictly increasing, NaN nowhere. Every curve of
// the model indexes this one table.
TimeTable read_time_table(ByteReader& in, const Counts& counts) {
  std::vector<double> table = in.f64s(counts.n_times, "the curve times");
  for (std::size_t k = 0; k < table.size(); ++k) {
    if (std::isnan(table[k])) invalid("curve time " + std::to_string(k) + " is NaN");
    if (k > 0 && !(order_key(table[k - 1]) < order_key(table[k]))) {
      invalid("the curve times are not sorted: time " + std::to_string(k) +
              " does not follow time " + std::to_string(k - 1));
    }
  }
  return std::make_shared<const std::vector<double>>(std::move(table));
}

// The leaf curves' values: each point's Nelson–Aalen step counts, and the
// values stored as they are (for points without counts).
class StepSource {
 public:
  StepSource(ByteReader& in, std::uint64_t n_points) : StepSource(in, n_points, preamble(in)) {}

  // The value after `from`, or NaN when the counts are not a step.
  double next(double from) {
    const std::uint32_t events = events_.next();
    const std::uint32_t at_risk = at_risk_.next();
    if (events != 0) return at_risk >= events ? nelson_aalen_step(from, events, at_risk) : kNaN;
    if (at_risk != 0 || used_ == stored_.size()) return kNaN;
    return stored_[used_++];
  }

  void finish() const {
    events_.finish("the curve events");
    at_risk_.finish("the curve at-risk counts");
    if (used_ != stored_.size()) {
      invalid("inconsistent counts: " + std::to_string(stored_.size()) +
              " curve values are stored but " + std::to_string(used_) + " are used");
    }
  }

 private:
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

  struct Preamble {
    unsigned events_width;
    unsigned at_risk_width;
    std::uint64_t n_stored;
  };

  static Preamble preamble(ByteReader& in) {
    const std::string what = "the curve step widths";
    const Preamble read{in.u8(what), in.u8(what), in.u64(what)};
    if (read.events_width > 32 || read.at_risk_width > 32) {
      invalid("a curve count is wider than 32 bits");
    }
    return read;
  }

  StepSource(ByteReader& in, std::uint64_t n_points, const Preamble& widths)
      : events_(in.bits(n_points, widths.events_width, "the curve events")),
        at_risk_(in.bits(n_points, widths.at_risk_width, "the curve at-risk counts")),
        stored_(in.f64s(widths.n_stored, "the stored curve values")) {}

  BitReader events_;
  BitReader at_risk_;
  std::vector<double> stored_;
  std::size_t used_ = 0;
};

// Reads the leaf curves, point by point, checking each against the curve
// invariants: times strictly increasing, cumulative hazards never negative
// and never decreasing.
class CurveSource {
 public:
  CurveSource(ByteReader& in, const Counts& counts, std::uint64_t n_leaves)
      : n_points_(counts.n_points),
        table_(read_time_table(in, counts)),
        lengths_(in.bits(n_leaves, width_for(table_->size()), "the curve lengths")),
        indices_(in.bits(counts.n_points, width_for(table_->empty() ? 0 : table_->size() - 1),
                         "the curve time indices")),
        steps_(in, counts.n_points),
        used_(table_->size(), false) {}

  LeafCurve next(std::size_t b, std::size_t leaf) {
    const auto where = [&] { return tree_name(b) + ", leaf " + std::to_string(leaf); };
    const std::uint32_t length = lengths_.next();
    // Times strictly increase: no curve is longer than the table.
    if (length > table_->size() || length > n_points_ - at_) {
      invalid(where() + ": the curve is longer than the curve times or the header's points allow");
    }
    std::vector<std::uint32_t> times(length);
    std::vector<double> values(length);
    for (std::uint32_t k = 0; k < length; ++k, ++at_) {
      times[k] = checked_index(indices_.next(), where);
      if (k > 0 && !((*table_)[times[k - 1]] < (*table_)[times[k]])) {
        invalid(where() + ": the curve times are not increasing");
      }
      const double from = k > 0 ? values[k - 1] : 0.0;
      values[k] = steps_.next(from);
      if (!(values[k] >= from)) {
        invalid(where() + ": the cumulative hazard is negative, decreasing, NaN or has counts " +
                "that are not a step");
      }
    }
    return {table_, std::move(times), std::move(values)};
  }

  // Once every curve is read.
  void finish() const {
    if (at_ != n_points_) {
      invalid("inconsistent counts: the curves hold " + std::to_string(at_) +
              " points but the header says " + std::to_string(n_points_));
    }
    lengths_.finish("the curve lengths");
    indices_.finish("the curve time indices");
    steps_.finish();
    const auto unused = std::find(used_.begin(), used_.end(), false);
    if (unused != used_.end()) {
      invalid("curve time " + std::to_string(unused - used_.begin()) + " belongs to no curve");
    }
  }

 private:
  template <class Where>
  std::uint32_t checked_index(std::uint32_t index, const Where& where) {
    if (index >= table_->size()) {
      invalid(where() + ": curve time index " + std::to_string(index) + " is out of range for " +
              std::to_string(table_->size()) + " times");
    }
    used_[index] = true;
    return index;
  }

  std::uint64_t n_points_;
  TimeTable table_;
  BitReader lengths_;
  BitReader indices_;
  StepSource steps_;
  std::vector<bool> used_;
  std::uint64_t at_ = 0;
};

void read_curves(ByteReader& in, const Counts& counts, std::vector<Tree<StepFunction>>& trees) {
  // A binary tree of n nodes has (n + 1) / 2 leaves.
  CurveSource curves(in, counts, (counts.n_nodes + counts.n_trees) / 2);
  for (std::size_t b = 0; b < trees.size(); ++b) {
    // A binary tree of n nodes has (n + 1) / 2 leaves.
    const std::size_t n_leaves = (trees[b].n_nodes() + 1) / 2;
    trees[b].leaves.reserve(n_leaves);
    for (std::size_t leaf = 0; leaf < n_leaves; ++leaf) {
      trees[b].leaves.push_back(curves.next(b, leaf));
    }
    trees[b].leaves.shrink_to_fit();
  }
  curves.finish();
}

// Bytes of the recorded leaves of every tree, each tree starting on a whole
// byte; SIZE_MAX when that overflows.
template <class Payload>
std::size_t recorded_leaves_size(const Forest<Payload>& forest) {
  std::size_t size = 0;
  for (const auto& tree : forest.trees) {
    const std::size_t tree_size =
        detail::packed_bytes(forest.n_train_samples, width_for(tree.n_leaves()));
    size = tree_size > SIZE_MAX - size ? SIZE_MAX : size + tree_size;
  }
  return size;
}

// Every tree has a leaf, so each code takes at least a bit: the bytes present
// bound a tree's record before it is allocated, at 32 bits per row and then at
// the width of the tree's leaf count.
template <class Payload>
void read_recorded_leaves(ByteReader& in, Forest<Payload>& forest) {
  ByteReader section(in.take(recorded_leaves_size(forest), "the recorded leaves"));
  const std::size_t n = forest.n_train_samples;
  forest.recorded_leaf.reserve(forest.n_trees());
  std::vector<std::uint32_t> record;
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const auto n_leaves = static_cast<std::uint32_t>(forest.trees[b].n_leaves());
    BitReader codes = section.bits(n, width_for(n_leaves), "the recorded leaves");
    record.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t code = codes.next();
      if (code > n_leaves) {
        invalid(tree_name(b) + ": training row " + std::to_string(i) + " is recorded in leaf " +
                std::to_string(code) + " but the tree has " + std::to_string(n_leaves) + " leaves");
      }
      record[i] = code == n_leaves ? NO_LEAF : code;
    }
    codes.finish("the recorded leaves of " + tree_name(b));
    forest.recorded_leaf.emplace_back(record, n_leaves);
  }
}

// The weights of a weighted fit, as the fit rounded them, so that every sum of
// them is exact as it was at the fit.
template <class Payload>
void read_sample_weights(ByteReader& in, Forest<Payload>& forest) {
  const std::size_t n = forest.n_train_samples;
  ByteReader section(in.take(n > SIZE_MAX / 8 ? SIZE_MAX : 8 * n, "the sample weights"));
  forest.sample_weight.resize(n);
  for (double& w : forest.sample_weight) w = section.f64("the sample weights");
  const bool valid = std::all_of(forest.sample_weight.begin(), forest.sample_weight.end(),
                                 [](double w) { return std::isfinite(w) && w >= 0.0; });
  if (!valid || std::none_of(forest.sample_weight.begin(), forest.sample_weight.end(),
                             [](double w) { return w > 0.0; })) {
    invalid("the sample weights are not finite numbers >= 0 with a positive sum");
  }
  if (!sums_exactly(forest.sample_weight)) {
    invalid("the sample weights are not the rounded weights of a fit");
  }
  check_draws(positive_rows(forest.sample_weight).size(), forest.params,
              "settings with the sample weights: ");
}

// Each tree's recorded leaves as its fit leaves them: every leaf reached (but
// where leaves_may_be_empty), and as many rows recorded as the tree estimates
// on (at most, when draws repeat rows), each of positive weight.
template <class Payload>
void check_recorded_weights(const Forest<Payload>& forest, std::size_t b) {
  forest.recorded_leaves(b).visit([&](auto codes, auto not_recorded) {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      if (codes[i] != not_recorded && forest.sample_weight[i] == 0.0) {
        invalid(tree_name(b) + ": training row " + std::to_string(i) +
                " is recorded in a leaf but has weight 0");
      }
    }
  });
}

template <class Payload>
void check_recorded_leaves(const Forest<Payload>& forest) {
  const std::size_t kept = positive_rows(forest.sample_weight).size();
  const std::size_t estimation =
      tree_estimation_size(kept != 0 ? kept : forest.n_train_samples, forest.params);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const std::vector<std::uint32_t>& sizes = forest.leaf_sizes[b];
    const auto empty = std::find(sizes.begin(), sizes.end(), 0u);
    if (empty != sizes.end() && !leaves_may_be_empty(forest.params.tree)) {
      invalid(tree_name(b) + ": no training row is recorded in leaf " +
              std::to_string(empty - sizes.begin()));
    }
    std::size_t recorded = 0;
    for (const std::uint32_t size : sizes) recorded += size;
    if (recorded > estimation || (!forest.params.bootstrap && recorded != estimation)) {
      invalid(tree_name(b) + ": " + format_rows(recorded) + " are recorded in its leaves, but " +
              "each tree estimates its leaves on " + format_rows(estimation));
    }
    if (kept != 0) check_recorded_weights(forest, b);
  }
}

Tree<StepFunction> read_tree_model(ByteReader& in, const Header& header) {
  std::vector<Tree<StepFunction>> trees = read_trees<StepFunction>(in, header);
  read_curves(in, header.counts, trees);
  return std::move(trees.front());
}

template <class Payload>
Forest<Payload> read_forest_model(ByteReader& in, const Header& header) {
  const Counts& counts = header.counts;
  Forest<Payload> forest;
  forest.n_features = counts.n_features;
  forest.n_train_samples = counts.n_train_samples;
  const bool weighted = read_settings(in, forest, header);
  forest.trees = read_trees<Payload>(in, header);
  if constexpr (std::is_same_v<Payload, StepFunction>) read_curves(in, counts, forest.trees);
  read_recorded_leaves(in, forest);
  if (weighted) read_sample_weights(in, forest);
  detail::count_leaf_sizes(forest, CallControl{});
  check_recorded_leaves(forest);
  return forest;
}

Model read_model(ByteReader& in, const Header& header) {
  if (header.kind == Kind::log_rank_tree) {
    return Model(std::in_place_index<0>, read_tree_model(in, header));
  }
  if (header.kind == Kind::log_rank_forest) {
    return Model(std::in_place_index<1>, read_forest_model<StepFunction>(in, header));
  }
  return Model(std::in_place_index<2>, read_forest_model<NoPayload>(in, header));
}

}  // namespace

Model from_bytes(std::span<const std::uint8_t> bytes) {
  const Header header = read_header(bytes);
  ByteReader in(bytes.subspan(kHeaderSize, bytes.size() - kHeaderSize - kChecksumSize));
  Model model = read_model(in, header);
  if (in.remaining() != 0) {
    invalid("inconsistent counts: " + std::to_string(in.remaining()) +
            " bytes are left after the last section");
  }
  return model;
}

}  // namespace korvane
