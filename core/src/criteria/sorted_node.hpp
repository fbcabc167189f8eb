#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "korvane/criteria/log_rank.hpp"
#include "value_order.hpp"

namespace korvane::detail {

// A node's occurrences in ascending event-time order, grouped by distinct time.
// A weighted fit's node holds the rows' weights and its groups' sums of them
// instead of the counts.
struct SortedNode {
  struct Group {
    std::uint32_t start;
    std::uint32_t end;
  };

  std::vector<std::uint32_t> sorted_rows;
  std::vector<std::uint8_t> sorted_events;
  std::vector<Group> groups;
  std::vector<std::uint32_t> group_events;
  std::vector<std::uint32_t> group_at_risk;
  std::vector<double> sorted_weights;  // empty when every occurrence weighs 1
  std::vector<double> group_weighted_events;
  std::vector<double> group_weighted_at_risk;

  [[nodiscard]] bool weighted() const { return !sorted_weights.empty(); }

  [[nodiscard]] static SortedNode of(const LogRankCriterion& criterion,
                                     std::span<const std::uint32_t> rows);
  // Refills the node with `rows`, keeping every buffer's capacity; `by_time`
  // and `scratch` are the sort's buffers.
  void assign(const LogRankCriterion& criterion, std::span<const std::uint32_t> rows,
              std::vector<RankedPosition>& by_time, OrderScratch& scratch);

  // Calls visit(g, bucket) for each time group g in ascending time order, where
  // `bucket` counts the groups with events up to and including g. An occurrence
  // of that bucket is at risk in exactly the first `bucket` groups with events,
  // which is all the scoring passes need to know of its time.
  template <class Visit>
  void for_each_bucket(Visit&& visit) const {
    const bool by_weight = weighted();
    std::uint32_t bucket = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      if (by_weight ? group_weighted_events[g] > 0.0 : group_events[g] > 0) ++bucket;
      visit(g, bucket);
    }
  }

  // The bucket (see for_each_bucket) of every position of the time order, into
  // `buckets`, whose storage a tree reuses across its nodes.
  void position_buckets(std::vector<std::uint32_t>& buckets) const {
    buckets.resize(sorted_rows.size());
    for_each_bucket([&](std::size_t g, std::uint32_t bucket) {
      std::fill(buckets.begin() + groups[g].start, buckets.begin() + groups[g].end, bucket);
    });
  }
};

}  // namespace korvane::detail
