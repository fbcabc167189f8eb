#include "korvane/persistence.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "byte_stream.hpp"
#include "checksum.hpp"
#include "korvane/error.hpp"

namespace korvane {

namespace {

using detail::BitReader;
using detail::ByteReader;
using detail::ByteWriter;
using detail::width_for;

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

[[noreturn]] void invalid(const std::string& message) { throw FormatError(message); }

std::string tree_name(std::size_t b) { return "tree " + std::to_string(b); }

// Position of a double in IEEE total order, so that -0.0 and 0.0 stay two
// distinct times and a curve reads back with the very bits it was written with.
std::uint64_t order_key(double t) {
  const auto bits = std::bit_cast<std::uint64_t>(t);
  return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

double from_order_key(std::uint64_t key) {
  return std::bit_cast<double>(key >> 63 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

bool before(double a, double b) { return order_key(a) < order_key(b); }

// ---------------------------------------------------------------- writing

// The order keys of the distinct times of every leaf curve, ascending.
std::vector<std::uint64_t> curve_times(std::span<const Tree<StepFunction>> trees) {
  std::vector<std::uint64_t> table;
  for (const auto& tree : trees) {
    for (const StepFunction& curve : tree.leaves) {
      // The format stores what a Nelson–Aalen leaf is: a right-continuous
      // curve from 0.
      if (curve.initial_value != 0.0 || curve.left_continuous ||
          std::signbit(curve.initial_value)) {
        fail("a leaf curve that does not start at 0 from the right cannot be stored");
      }
      for (const double t : curve.times) table.push_back(order_key(t));
    }
  }
  std::sort(table.begin(), table.end());
  table.erase(std::unique(table.begin(), table.end()), table.end());
  return table;
}

template <class Payload>
Counts counts_of(std::span<const Tree<Payload>> trees, std::uint32_t n_features,
                 std::uint64_t n_train_samples) {
  if (trees.size() > UINT32_MAX) fail("too many trees to store");
  Counts counts{n_features, static_cast<std::uint32_t>(trees.size()), 0, 0, 0, n_train_samples};
  for (const auto& tree : trees) {
    if (tree.n_nodes() == 0 || tree.n_nodes() > UINT32_MAX)
      fail("a tree of this size cannot be stored");
    counts.n_nodes += tree.n_nodes();
    if constexpr (std::is_same_v<Payload, StepFunction>) {
      for (const StepFunction& curve : tree.leaves) counts.n_points += curve.times.size();
    }
  }
  return counts;
}

void write_header(ByteWriter& out, Kind kind, const Counts& counts) {
  for (const std::uint8_t byte : kMagic) out.u8(byte);
  out.u32(kFormatVersion);
  out.u8(static_cast<std::uint8_t>(kind));
  out.zeros(3);
  out.u64(0);  // the file's size, set once known
  out.u32(counts.n_features);
  out.u32(counts.n_trees);
  out.u64(counts.n_nodes);
  out.u64(counts.n_times);
  out.u64(counts.n_points);
  out.u64(counts.n_train_samples);
}

enum SettingFlags : std::uint8_t { kBootstrap = 1, kHonest = 2, kDepthLimited = 4 };

template <class Payload>
void write_settings(ByteWriter& out, const Forest<Payload>& forest) {
  const ForestParams& params = forest.params;
  out.u64(forest.seed);
  out.u64(forest.first_tree);
  out.u64(params.n_trees);
  out.u64(params.tree.min_samples_leaf);
  out.f64(params.subsample_fraction);
  out.f64(params.tree.honesty.value_or(0.0));
  out.u32(params.tree.max_depth.value_or(0));
  out.u32(params.tree.max_features.count);
  out.u8(static_cast<std::uint8_t>(params.tree.max_features.kind));
  out.u8(static_cast<std::uint8_t>((params.bootstrap ? kBootstrap : 0) |
                                   (params.tree.honesty ? kHonest : 0) |
                                   (params.tree.max_depth ? kDepthLimited : 0)));
  out.zeros(6);
}

// The format keeps no child or leaf indices: it relies on the builder's
// numbering (post-order, right child just before its parent, leaves numbered
// left to right), which this checks, so that reading rebuilds the same tree.
template <class Payload>
void check_post_order(const Tree<Payload>& tree) {
  std::vector<std::uint32_t> open;
  std::uint32_t next_leaf = 0;
  for (std::uint32_t i = 0; i < tree.nodes.size(); ++i) {
    if (const auto* split = std::get_if<node::Split>(&tree.nodes[i])) {
      if (open.size() < 2 || split->right != open.back() || split->left != open[open.size() - 2]) {
        fail("a tree whose nodes are not in post-order cannot be stored");
      }
      open.pop_back();
      open.back() = i;
    } else {
      if (std::get<node::Leaf>(tree.nodes[i]).leaf != next_leaf++) {
        fail("a tree whose leaves are not numbered left to right cannot be stored");
      }
      open.push_back(i);
    }
  }
  if (open.size() != 1 || tree.root != open.back() || next_leaf != tree.leaves.size()) {
    fail("a tree that is not one post-order tree cannot be stored");
  }
}

template <class Payload>
void write_shapes(ByteWriter& out, std::span<const Tree<Payload>> trees) {
  for (const auto& tree : trees) {
    check_post_order(tree);
    out.u32(static_cast<std::uint32_t>(tree.n_nodes()));
  }
  ByteWriter::Bits kinds(out, 1);
  for (const auto& tree : trees) {
    for (const NodeKind& node : tree.nodes) kinds.put(std::holds_alternative<node::Split>(node));
  }
  kinds.finish();
}

// Calls visit(split) for every split of every tree, in node order.
template <class Payload, class Visit>
void for_each_split(std::span<const Tree<Payload>> trees, Visit&& visit) {
  for (const auto& tree : trees) {
    for (const NodeKind& node : tree.nodes) {
      if (const auto* split = std::get_if<node::Split>(&node)) visit(*split);
    }
  }
}

unsigned feature_width(std::uint32_t n_features) {
  return width_for(n_features == 0 ? 0 : n_features - 1);
}

template <class Payload>
void write_splits(ByteWriter& out, std::span<const Tree<Payload>> trees, std::uint32_t n_features) {
  ByteWriter::Bits features(out, feature_width(n_features));
  for_each_split(trees, [&](const node::Split& split) { features.put(split.feature); });
  features.finish();
  for_each_split(trees, [&](const node::Split& split) { out.f64(split.threshold); });
  for_each_split(trees, [&](const node::Split& split) { out.f64(split.score); });
}

// Calls visit(curve) for every leaf curve, tree by tree, leaf by leaf.
template <class Visit>
void for_each_curve(std::span<const Tree<StepFunction>> trees, Visit&& visit) {
  for (const auto& tree : trees) {
    for (const StepFunction& curve : tree.leaves) visit(curve);
  }
}

// How a curve value is stored: the counts of the Nelson–Aalen step that leads
// to it from the previous value (a few bits), or no counts ({0, 0}) and the
// value itself when no small counts reproduce it to the last bit.
struct Step {
  std::uint32_t events = 0;
  std::uint32_t at_risk = 0;
};

// Events at one time of a leaf are few: the search tries event counts up to
// this one, each with the at-risk counts its ratio to the increment suggests.
constexpr std::uint32_t kSearchedEvents = 64;

bool reproduces(double from, double to, std::uint32_t events, double at_risk) {
  return at_risk >= events && at_risk <= UINT32_MAX &&
         std::bit_cast<std::uint64_t>(
             nelson_aalen_step(from, events, static_cast<std::uint32_t>(at_risk))) ==
             std::bit_cast<std::uint64_t>(to);
}

// Counts of a Nelson–Aalen step from `from` to `to`, the fewest events first.
// The increment to - from is exact or off by a rounding of `to`, so the
// at-risk count is events / increment rounded, or a neighbour. Any counts that
// reproduce the value do: the reader only repeats the step.
Step find_step(double from, double to) {
  const double increment = to - from;
  if (!(increment > 0.0)) return {};
  for (std::uint32_t events = 1; events <= kSearchedEvents; ++events) {
    const double at_risk = std::round(events / increment);
    for (const double candidate : {at_risk, at_risk - 1.0, at_risk + 1.0}) {
      if (reproduces(from, to, events, candidate)) {
        return {events, static_cast<std::uint32_t>(candidate)};
      }
    }
  }
  return {};
}

// The steps of every curve point, in curve order.
std::vector<Step> curve_steps(std::span<const Tree<StepFunction>> trees) {
  std::vector<Step> steps;
  for_each_curve(trees, [&](const StepFunction& curve) {
    double from = 0.0;
    for (const double to : curve.values) {
      steps.push_back(find_step(from, to));
      from = to;
    }
  });
  return steps;
}

void write_steps(ByteWriter& out, std::span<const Tree<StepFunction>> trees) {
  const std::vector<Step> steps = curve_steps(trees);
  std::uint32_t most_events = 0;
  std::uint32_t most_at_risk = 0;
  std::uint64_t n_stored = 0;
  for (const Step& step : steps) {
    most_events = std::max(most_events, step.events);
    most_at_risk = std::max(most_at_risk, step.at_risk);
    n_stored += step.events == 0;
  }
  out.u8(static_cast<std::uint8_t>(width_for(most_events)));
  out.u8(static_cast<std::uint8_t>(width_for(most_at_risk)));
  out.u64(n_stored);
  ByteWriter::Bits events(out, width_for(most_events));
  for (const Step& step : steps) events.put(step.events);
  events.finish();
  ByteWriter::Bits at_risk(out, width_for(most_at_risk));
  for (const Step& step : steps) at_risk.put(step.at_risk);
  at_risk.finish();
  std::size_t k = 0;
  for_each_curve(trees, [&](const StepFunction& curve) {
    for (const double value : curve.values) {
      if (steps[k++].events == 0) out.f64(value);
    }
  });
}

void write_curves(ByteWriter& out, std::span<const Tree<StepFunction>> trees,
                  const std::vector<std::uint64_t>& table) {
  for (const std::uint64_t key : table) out.f64(from_order_key(key));
  ByteWriter::Bits lengths(out, width_for(table.size()));
  for_each_curve(trees, [&](const StepFunction& c) {
    lengths.put(static_cast<std::uint32_t>(c.times.size()));
  });
  lengths.finish();
  ByteWriter::Bits indices(out, width_for(table.empty() ? 0 : table.size() - 1));
  for_each_curve(trees, [&](const StepFunction& curve) {
    for (const double t : curve.times) {
      const auto at = std::lower_bound(table.begin(), table.end(), order_key(t));
      indices.put(static_cast<std::uint32_t>(at - table.begin()));
    }
  });
  indices.finish();
  write_steps(out, trees);
}

// Each tree's codes start on a whole byte; the code n_leaves stands for NO_LEAF.
template <class Payload>
void write_recorded_leaves(ByteWriter& out, const Forest<Payload>& forest) {
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const auto n_leaves = static_cast<std::uint32_t>(forest.trees[b].n_leaves());
    ByteWriter::Bits codes(out, width_for(n_leaves));
    for (const std::uint32_t leaf : forest.recorded_leaves(b)) {
      codes.put(leaf == NO_LEAF ? n_leaves : leaf);
    }
    codes.finish();
  }
}

std::vector<std::uint8_t> finished(ByteWriter& out) {
  std::vector<std::uint8_t>& bytes = out.bytes();
  const std::uint64_t size = bytes.size() + kChecksumSize;
  for (unsigned i = 0; i < 8; ++i) bytes[16 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  out.u64(detail::xxh64(bytes));
  return std::move(bytes);
}

template <class Model, class Payload>
std::vector<std::uint8_t> encode(const Model& model, std::span<const Tree<Payload>> trees,
                                 Kind kind, std::uint64_t n_train_samples) {
  Counts counts = counts_of(trees, model.n_features, n_train_samples);
  std::vector<std::uint64_t> table;
  if constexpr (std::is_same_v<Payload, StepFunction>) {
    table = curve_times(trees);
    counts.n_times = table.size();
  }
  ByteWriter out;
  write_header(out, kind, counts);
  if constexpr (requires { model.params; }) write_settings(out, model);
  write_shapes(out, trees);
  write_splits(out, trees, model.n_features);
  if constexpr (std::is_same_v<Payload, StepFunction>) write_curves(out, trees, table);
  if constexpr (requires { model.recorded_leaf; }) write_recorded_leaves(out, model);
  return finished(out);
}

// ---------------------------------------------------------------- reading

struct Header {
  Kind kind;
  Counts counts;
};

void check_magic(std::span<const std::uint8_t> bytes) {
  const std::size_t n = std::min(bytes.size(), kMagic.size());
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), kMagic.begin())) {
    invalid("not a korvane model: the data does not start with the format's magic bytes");
  }
}

void check_version(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 12) {
    invalid("truncated: " + std::to_string(bytes.size()) + " bytes hold no format version");
  }
  const auto version = detail::load_le<std::uint32_t>(bytes.data() + 8);
  if (version == 0 || version > kFormatVersion) {
    invalid("unsupported format version " + std::to_string(version) +
            "; this korvane reads versions 1 to " + std::to_string(kFormatVersion));
  }
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
  if (counts.n_train_samples > UINT32_MAX) {
    invalid("inconsistent counts: " + std::to_string(counts.n_train_samples) +
            " training rows are more than 4294967295");
  }
}

Header read_header(std::span<const std::uint8_t> bytes) {
  check_magic(bytes);
  check_version(bytes);
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
  return {kind, counts};
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

// The fit's settings with the flags and optional values they describe.
ForestParams read_params(ByteReader& in, std::uint64_t& seed, std::uint64_t& first_tree) {
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
  const auto reserved = in.take(6, "settings");
  if ((flags & ~(kBootstrap | kHonest | kDepthLimited)) != 0 ||
      std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0; })) {
    invalid("unknown settings flags or reserved bytes that are not zero");
  }
  params.bootstrap = (flags & kBootstrap) != 0;
  if (flags & kHonest) params.tree.honesty = honesty;
  if (flags & kDepthLimited) params.tree.max_depth = max_depth;
  if ((!(flags & kHonest) && std::bit_cast<std::uint64_t>(honesty) != 0) ||
      (!(flags & kDepthLimited) && max_depth != 0)) {
    invalid("settings hold a value for an option that is off");
  }
  return params;
}

void check_params(const ForestParams& params, std::uint64_t first_tree, std::uint32_t n_trees) {
  if (!(params.subsample_fraction > 0.0 && params.subsample_fraction <= 1.0)) {
    invalid("settings: subsample_fraction is outside (0, 1]");
  }
  if (params.tree.honesty && !(*params.tree.honesty > 0.0 && *params.tree.honesty < 1.0)) {
    invalid("settings: the honesty fraction is outside (0, 1)");
  }
  if (first_tree > params.n_trees || n_trees > params.n_trees - first_tree) {
    invalid("inconsistent counts: trees " + std::to_string(first_tree) + " to " +
            std::to_string(first_tree + n_trees) + " are not part of a forest of " +
            std::to_string(params.n_trees) + " trees");
  }
}

template <class Payload>
void read_settings(ByteReader& in, Forest<Payload>& forest, const Counts& counts) {
  forest.params = read_params(in, forest.seed, forest.first_tree);
  check_params(forest.params, forest.first_tree, counts.n_trees);
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
  SplitSource(ByteReader& in, std::uint64_t n_splits, std::uint32_t n_features)
      : n_features_(n_features),
        features_(in.bits(n_splits, feature_width(n_features), "the split features")),
        thresholds_(in.f64s(n_splits, "the split thresholds")),
        scores_(in.f64s(n_splits, "the split scores")) {}

  node::Split next(std::size_t b, std::uint32_t i, std::uint32_t left, std::uint32_t right) {
    if (at_ == thresholds_.size()) fail("more splits than the tree sizes allow");
    const node::Split split{features_.next(), thresholds_[at_], left, right, scores_[at_]};
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

  void finish() const { features_.finish("the split features"); }

 private:
  std::uint32_t n_features_;
  BitReader features_;
  std::vector<double> thresholds_;
  std::vector<double> scores_;
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
  tree.leaves.resize(n_leaves);
  return tree;
}

template <class Payload>
std::vector<Tree<Payload>> read_trees(ByteReader& in, const Counts& counts) {
  const std::vector<std::uint32_t> sizes = read_tree_sizes(in, counts);
  BitReader kinds = in.bits(counts.n_nodes, 1, "the node kinds");
  // A binary tree of n nodes has (n - 1) / 2 splits.
  SplitSource splits(in, (counts.n_nodes - counts.n_trees) / 2, counts.n_features);
  std::vector<Tree<Payload>> trees;
  trees.reserve(sizes.size());
  for (std::size_t b = 0; b < sizes.size(); ++b) {
    trees.push_back(read_shape<Payload>(kinds, splits, b, sizes[b], counts.n_features));
  }
  kinds.finish("the node kinds");
  splits.finish();
  return trees;
}

// The distinct curve times: strictly increasing, NaN nowhere.
std::vector<double> read_time_table(ByteReader& in, const Counts& counts) {
  std::vector<double> table = in.f64s(counts.n_times, "the curve times");
  for (std::size_t k = 0; k < table.size(); ++k) {
    if (std::isnan(table[k])) invalid("curve time " + std::to_string(k) + " is NaN");
    if (k > 0 && !before(table[k - 1], table[k])) {
      invalid("the curve times are not sorted: time " + std::to_string(k) +
              " does not follow time " + std::to_string(k - 1));
    }
  }
  return table;
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
        lengths_(in.bits(n_leaves, width_for(table_.size()), "the curve lengths")),
        indices_(in.bits(counts.n_points, width_for(table_.empty() ? 0 : table_.size() - 1),
                         "the curve time indices")),
        steps_(in, counts.n_points),
        used_(table_.size(), false) {}

  StepFunction next(std::size_t b, std::size_t leaf) {
    const auto where = [&] { return tree_name(b) + ", leaf " + std::to_string(leaf); };
    const std::uint32_t length = lengths_.next();
    // Times strictly increase: no curve is longer than the table.
    if (length > table_.size() || length > n_points_ - at_) {
      invalid(where() + ": the curve is longer than the curve times or the header's points allow");
    }
    std::vector<double> times(length);
    std::vector<double> values(length);
    for (std::uint32_t k = 0; k < length; ++k, ++at_) {
      times[k] = time_at(indices_.next(), where);
      if (k > 0 && !(times[k - 1] < times[k])) {
        invalid(where() + ": the curve times are not increasing");
      }
      const double from = k > 0 ? values[k - 1] : 0.0;
      values[k] = steps_.next(from);
      if (!(values[k] >= from)) {
        invalid(where() + ": the cumulative hazard is negative, decreasing, NaN or has counts " +
                "that are not a step");
      }
    }
    return {std::move(times), std::move(values)};
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
  double time_at(std::uint32_t index, const Where& where) {
    if (index >= table_.size()) {
      invalid(where() + ": curve time index " + std::to_string(index) + " is out of range for " +
              std::to_string(table_.size()) + " times");
    }
    used_[index] = true;
    return table_[index];
  }

  std::uint64_t n_points_;
  std::vector<double> table_;
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
    for (std::size_t leaf = 0; leaf < trees[b].leaves.size(); ++leaf) {
      trees[b].leaves[leaf] = curves.next(b, leaf);
    }
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
// bound the matrix before it is allocated.
template <class Payload>
void read_recorded_leaves(ByteReader& in, Forest<Payload>& forest) {
  ByteReader section(in.take(recorded_leaves_size(forest), "the recorded leaves"));
  const std::size_t n = forest.n_train_samples;
  forest.recorded_leaf.resize(forest.n_trees() * n);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const auto n_leaves = static_cast<std::uint32_t>(forest.trees[b].n_leaves());
    BitReader codes = section.bits(n, width_for(n_leaves), "the recorded leaves");
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t code = codes.next();
      if (code > n_leaves) {
        invalid(tree_name(b) + ": training row " + std::to_string(i) + " is recorded in leaf " +
                std::to_string(code) + " but the tree has " + std::to_string(n_leaves) + " leaves");
      }
      forest.recorded_leaf[b * n + i] = code == n_leaves ? NO_LEAF : code;
    }
    codes.finish("the recorded leaves of " + tree_name(b));
  }
}

Tree<StepFunction> read_tree_model(ByteReader& in, const Counts& counts) {
  std::vector<Tree<StepFunction>> trees = read_trees<StepFunction>(in, counts);
  read_curves(in, counts, trees);
  return std::move(trees.front());
}

template <class Payload>
Forest<Payload> read_forest_model(ByteReader& in, const Counts& counts) {
  Forest<Payload> forest;
  forest.n_features = counts.n_features;
  forest.n_train_samples = counts.n_train_samples;
  read_settings(in, forest, counts);
  forest.trees = read_trees<Payload>(in, counts);
  if constexpr (std::is_same_v<Payload, StepFunction>) read_curves(in, counts, forest.trees);
  read_recorded_leaves(in, forest);
  detail::count_leaf_sizes(forest);
  return forest;
}

Model read_model(ByteReader& in, const Header& header) {
  if (header.kind == Kind::log_rank_tree) {
    return Model(std::in_place_index<0>, read_tree_model(in, header.counts));
  }
  if (header.kind == Kind::log_rank_forest) {
    return Model(std::in_place_index<1>, read_forest_model<StepFunction>(in, header.counts));
  }
  return Model(std::in_place_index<2>, read_forest_model<NoPayload>(in, header.counts));
}

}  // namespace

std::vector<std::uint8_t> to_bytes(const Tree<StepFunction>& tree) {
  return encode(tree, std::span(&tree, 1), Kind::log_rank_tree, 0);
}

std::vector<std::uint8_t> to_bytes(const Forest<StepFunction>& forest) {
  return encode(forest, std::span(forest.trees), Kind::log_rank_forest, forest.n_train_samples);
}

std::vector<std::uint8_t> to_bytes(const Forest<NoPayload>& forest) {
  return encode(forest, std::span(forest.trees), Kind::gradient_forest, forest.n_train_samples);
}

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
