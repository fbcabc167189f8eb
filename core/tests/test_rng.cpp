#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "korvane/error.hpp"
#include "korvane/rng.hpp"
#include "support.hpp"

namespace korvane {
namespace {

// streams.json was computed by an independent implementation of the same
// stream; 64-bit values are stored as decimal strings.
const nlohmann::json& streams() {
  static const nlohmann::json data = testing::load_json("streams.json");
  return data;
}

std::uint64_t as_u64(const nlohmann::json& value) { return std::stoull(value.get<std::string>()); }

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

ChaCha8Rng::Seed seed_from_hex(const std::string& hex) {
  const auto bytes = from_hex(hex);
  ChaCha8Rng::Seed seed{};
  std::copy(bytes.begin(), bytes.end(), seed.begin());
  return seed;
}

std::vector<std::uint32_t> next_words(ChaCha8Rng& rng, std::size_t count) {
  std::vector<std::uint32_t> words(count);
  for (auto& word : words) word = rng.next_u32();
  return words;
}

TEST(ChaCha8Rng, MatchesThePublishedZeroKeyKeystream) {
  auto rng = ChaCha8Rng::from_seed({});
  std::vector<std::uint8_t> bytes(64);
  rng.fill_bytes(bytes);
  EXPECT_EQ(bytes, from_hex("3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
                            "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"));
}

TEST(ChaCha8Rng, SeedExpansionAndWordsMatchReferenceStreams) {
  for (const auto& entry : streams()["seed_from_u64"]) {
    SCOPED_TRACE(entry["seed"].get<std::string>());
    auto rng = ChaCha8Rng::seed_from_u64(as_u64(entry["seed"]));
    EXPECT_EQ(rng, ChaCha8Rng::from_seed(seed_from_hex(entry["key_bytes_hex"])));
    // 70 words cross the first refill of the four-block buffer.
    EXPECT_EQ(next_words(rng, 70), entry["first_70_next_u32"].get<std::vector<std::uint32_t>>());
  }
  const auto& entry = streams()["from_seed"];
  auto rng = ChaCha8Rng::from_seed(seed_from_hex(entry["seed_bytes_hex"]));
  EXPECT_EQ(next_words(rng, 20), entry["first_20_next_u32"].get<std::vector<std::uint32_t>>());
}

TEST(ChaCha8Rng, RangeDrawsMatchReferenceValuesAndConsumption) {
  auto rng = ChaCha8Rng::seed_from_u64(42);
  for (const auto& draw : streams()["draws"]["sequence_on_seed_from_u64_42"]) {
    SCOPED_TRACE(draw.dump());
    const std::uint64_t low = as_u64(draw["low"]);
    const std::uint64_t high = as_u64(draw["high"]);
    const std::uint64_t value = draw["kind"] == "inclusive" ? rng.random_range_inclusive(low, high)
                                                            : rng.random_range(low, high);
    EXPECT_EQ(value, as_u64(draw["value"]));
    EXPECT_EQ(rng.words_consumed(), draw["words_consumed_so_far"].get<std::uint64_t>());
  }
}

TEST(ChaCha8Rng, SeekingABlockContinuesAsDrawingUpToIt) {
  for (const std::uint64_t block : {0u, 1u, 3u, 4u, 5u, 11u}) {
    ChaCha8Rng drawn = ChaCha8Rng::seed_from_u64(5);
    for (std::uint64_t w = 0; w < 16 * block; ++w) (void)drawn.next_u32();
    ChaCha8Rng sought = ChaCha8Rng::seed_from_u64(5);
    sought.seek_block(block);
    EXPECT_EQ(sought.words_consumed(), drawn.words_consumed());
    for (int w = 0; w < 100; ++w) EXPECT_EQ(sought.next_u32(), drawn.next_u32()) << block;
  }
}

TEST(ChaCha8Rng, NextU64AtTheLastBufferedWordSpansTheRefill) {
  auto rng = ChaCha8Rng::seed_from_u64(42);
  auto words = ChaCha8Rng::seed_from_u64(42);
  next_words(rng, 63);
  const auto reference = next_words(words, 66);

  EXPECT_EQ(rng.next_u64(),
            as_u64(streams()["draws"]["next_u64_at_index_63_after_63_words_of_seed_42"]));
  EXPECT_EQ(rng.words_consumed(), 65u);
  EXPECT_EQ(rng.next_u32(), reference[65]);
}

TEST(ChaCha8Rng, FillBytesContinuesIntoTheNextBlocksLittleEndian) {
  auto rng = ChaCha8Rng::seed_from_u64(7);
  auto words = ChaCha8Rng::seed_from_u64(7);
  next_words(rng, 60);
  const auto reference = next_words(words, 68);

  std::array<std::uint8_t, 32> bytes{};
  rng.fill_bytes(bytes);
  EXPECT_EQ(rng.words_consumed(), 68u);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], static_cast<std::uint8_t>(reference[60 + i / 4] >> (8 * (i % 4))));
  }
}

struct WidthOneRange {
  std::uint64_t low;
  std::uint64_t words;
};

void PrintTo(const WidthOneRange& c, std::ostream* os) {
  *os << "[" << c.low << ", " << c.low << " + 1)";
}

class SingleValueRange : public ::testing::TestWithParam<WidthOneRange> {};

// The method follows the upper bound, so a range of one value still costs the
// draws of its method: one word below 2^32, two at and above.
TEST_P(SingleValueRange, ReturnsLowAndConsumesTheWordsOfItsMethod) {
  const auto [low, words] = GetParam();
  auto rng = ChaCha8Rng::seed_from_u64(3);
  EXPECT_EQ(rng.random_range(low, low + 1), low);
  EXPECT_EQ(rng.words_consumed(), words);
}

INSTANTIATE_TEST_SUITE_P(ChaCha8Rng, SingleValueRange,
                         ::testing::Values(WidthOneRange{0, 1}, WidthOneRange{4294967294, 1},
                                           WidthOneRange{4294967295, 2},
                                           WidthOneRange{1ull << 40, 2}));

// With range 2^k - 1 the widening multiply is x * 2^k - x, so the result is
// x - 1 plus a carry exactly when a second draw y exceeds x (no second draw
// when x = 0); this checks the threshold, the second draw and the carry
// against words read independently.
template <class Draw>
void expect_all_but_one_value_draws(std::uint64_t high, Draw next_word) {
  auto rng = ChaCha8Rng::seed_from_u64(11);
  auto words = ChaCha8Rng::seed_from_u64(11);
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t x = next_word(words);
    const std::uint64_t expected = x == 0 ? 0 : x - 1 + (next_word(words) > x);
    ASSERT_EQ(rng.random_range(0, high), expected);
  }
  EXPECT_EQ(rng.words_consumed(), words.words_consumed());
}

TEST(ChaCha8Rng, AllButOneValueRangeCarriesWhenTheSecondDrawIsLarger) {
  expect_all_but_one_value_draws(4294967295, [](ChaCha8Rng& r) { return r.next_u32(); });
  expect_all_but_one_value_draws(std::numeric_limits<std::uint64_t>::max(),
                                 [](ChaCha8Rng& r) { return r.next_u64(); });
}

// [0, 2^32) takes the 64-bit method: the result is the high word of one
// 64-bit draw and the second draw can never be needed.
TEST(ChaCha8Rng, RangeUpToTwoToThe32UsesTheHighWordOfA64BitDraw) {
  auto rng = ChaCha8Rng::seed_from_u64(5);
  auto words = ChaCha8Rng::seed_from_u64(5);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(rng.random_range(0, 4294967296), words.next_u64() >> 32);
  }
  EXPECT_EQ(rng.words_consumed(), 200u);
}

TEST(ChaCha8Rng, InclusiveFull32BitRangeReturnsTheWordItself) {
  auto rng = ChaCha8Rng::seed_from_u64(9);
  auto words = ChaCha8Rng::seed_from_u64(9);
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(rng.random_range_inclusive(0, 4294967295), words.next_u32());
  EXPECT_EQ(rng.words_consumed(), 100u);
  EXPECT_EQ(rng.random_range_inclusive(12, 12), 12u);
}

template <class Draw>
std::string error_of(Draw draw) {
  try {
    draw();
  } catch (const InternalError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ChaCha8Rng, EmptyRangesAreInternalErrors) {
  auto rng = ChaCha8Rng::seed_from_u64(0);
  EXPECT_EQ(error_of([&] { (void)rng.random_range(5, 5); }), "cannot sample empty range");
  EXPECT_EQ(error_of([&] { (void)rng.random_range(6, 5); }), "cannot sample empty range");
  EXPECT_EQ(error_of([&] { (void)rng.random_range_inclusive(6, 5); }), "cannot sample empty range");
  EXPECT_EQ(rng.words_consumed(), 0u);
}

}  // namespace
}  // namespace korvane
