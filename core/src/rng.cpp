#include "korvane/rng.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "korvane/error.hpp"

namespace korvane {

namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr int kDoubleRounds = 4;  // ChaCha8: 8 rounds
constexpr std::uint32_t kBlockWords = 16;
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646E, 0x79622D32, 0x6B206574};

using Block = std::array<std::uint32_t, kBlockWords>;

void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b;
  d = std::rotl(d ^ a, 16);
  c += d;
  b = std::rotl(b ^ c, 12);
  a += b;
  d = std::rotl(d ^ a, 8);
  c += d;
  b = std::rotl(b ^ c, 7);
}

// Keystream block for the given counter with stream identifier 0.
Block chacha8_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter) {
  Block initial{};
  std::copy(kSigma.begin(), kSigma.end(), initial.begin());
  std::copy(key.begin(), key.end(), initial.begin() + 4);
  initial[12] = static_cast<std::uint32_t>(counter);
  initial[13] = static_cast<std::uint32_t>(counter >> 32);

  Block state = initial;
  auto& s = state;
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_round(s[0], s[4], s[8], s[12]);
    quarter_round(s[1], s[5], s[9], s[13]);
    quarter_round(s[2], s[6], s[10], s[14]);
    quarter_round(s[3], s[7], s[11], s[15]);
    quarter_round(s[0], s[5], s[10], s[15]);
    quarter_round(s[1], s[6], s[11], s[12]);
    quarter_round(s[2], s[7], s[8], s[13]);
    quarter_round(s[3], s[4], s[9], s[14]);
  }
  for (std::uint32_t i = 0; i < kBlockWords; ++i) state[i] += initial[i];
  return state;
}

template <class Word>
struct Wider;
template <>
struct Wider<std::uint32_t> {
  using type = std::uint64_t;
};
template <>
struct Wider<std::uint64_t> {
  using type = Uint128;
};

// Widening-multiply sampling of [0, range) for range > 0: the high half of
// draw() * range, corrected by at most one from a second draw when the low
// half is close enough to overflow that the second draw could carry into it.
template <class Word, class Draw>
Word scaled_draw(Word range, Draw draw) {
  using Wide = typename Wider<Word>::type;
  constexpr int kBits = std::numeric_limits<Word>::digits;
  const Wide product = Wide{draw()} * range;
  Word high = static_cast<Word>(product >> kBits);
  const Word low = static_cast<Word>(product);
  const Word threshold = static_cast<Word>(0) - range;
  if (low > threshold) {
    const Word carry_in = static_cast<Word>((Wide{draw()} * range) >> kBits);
    if (static_cast<Word>(low + carry_in) < low) ++high;
  }
  return high;
}

// Writes the low bytes of `word`, least significant first, into as much of
// `out` as it holds (at most 4 bytes).
void store_little_endian(std::uint32_t word, std::span<std::uint8_t> out) {
  for (std::size_t b = 0; b < 4 && b < out.size(); ++b) {
    out[b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
}

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

}  // namespace

ChaCha8Rng ChaCha8Rng::from_seed(const Seed& seed) {
  ChaCha8Rng rng;
  for (std::size_t i = 0; i < rng.key_.size(); ++i) {
    rng.key_[i] = static_cast<std::uint32_t>(seed[4 * i]) |
                  static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
                  static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
                  static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
  return rng;
}

ChaCha8Rng ChaCha8Rng::seed_from_u64(std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 0x5851F42D4C957F2D;
  constexpr std::uint64_t kIncrement = 0xA17654E46FBE17F3;
  Seed bytes{};
  std::uint64_t state = seed;
  for (std::size_t k = 0; k < bytes.size() / 4; ++k) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rotation = static_cast<int>(state >> 59);
    store_little_endian(std::rotr(xorshifted, rotation), std::span(bytes).subspan(4 * k));
  }
  return from_seed(bytes);
}

void ChaCha8Rng::refill() {
  for (std::uint32_t b = 0; b < kBufferWords / kBlockWords; ++b) {
    const Block block = chacha8_block(key_, counter_ + b);
    std::copy(block.begin(), block.end(), buffer_.begin() + b * kBlockWords);
  }
  counter_ += kBufferWords / kBlockWords;
  index_ = 0;
}

void ChaCha8Rng::seek_block(std::uint64_t block) {
  constexpr std::uint64_t kBlocksPerBuffer = kBufferWords / kBlockWords;
  counter_ = block - block % kBlocksPerBuffer;
  refill();
  index_ = static_cast<std::uint32_t>(block % kBlocksPerBuffer) * kBlockWords;
}

std::uint32_t ChaCha8Rng::next_u32() {
  if (index_ == kBufferWords) refill();
  return buffer_[index_++];
}

// Two single-word draws give exactly the required behaviour at index 63: the
// low half is the last buffered word and the high half the first word of the
// next four blocks.
std::uint64_t ChaCha8Rng::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return high << 32 | low;
}

void ChaCha8Rng::fill_bytes(std::span<std::uint8_t> dest) {
  for (std::size_t offset = 0; offset < dest.size(); offset += 4) {
    store_little_endian(next_u32(), dest.subspan(offset));
  }
}

std::uint64_t ChaCha8Rng::random_range(std::uint64_t low, std::uint64_t high) {
  if (low >= high) fail("cannot sample empty range");
  const std::uint64_t range = high - low;
  if (high <= kMaxU32) {
    return low + scaled_draw(static_cast<std::uint32_t>(range), [this] { return next_u32(); });
  }
  return low + scaled_draw(range, [this] { return next_u64(); });
}

std::uint64_t ChaCha8Rng::random_range_inclusive(std::uint64_t low, std::uint64_t high) {
  if (low > high) fail("cannot sample empty range");
  // The width wraps to zero exactly when the range covers every value of the
  // method's word; then the word itself is uniform over the range.
  if (high <= kMaxU32) {
    const auto range = static_cast<std::uint32_t>(high - low + 1);
    if (range == 0) return next_u32();
    return low + scaled_draw(range, [this] { return next_u32(); });
  }
  const std::uint64_t range = high - low + 1;
  if (range == 0) return next_u64();
  return low + scaled_draw(range, [this] { return next_u64(); });
}

std::uint64_t ChaCha8Rng::words_consumed() const {
  return counter_ * kBlockWords + index_ - kBufferWords;
}

}  // namespace korvane
