#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korvane {

// ChaCha8 keystream generator (64-bit block counter, stream 0). Every random
// choice of a fit comes from one of these, so the exact word sequence and the
// number of words each draw consumes are part of the model's behaviour.
class ChaCha8Rng {
 public:
  using Seed = std::array<std::uint8_t, 32>;

  [[nodiscard]] static ChaCha8Rng from_seed(const Seed& seed);
  // Expands a 64-bit seed into a key with the PCG32 (XSH-RR) output function.
  [[nodiscard]] static ChaCha8Rng seed_from_u64(std::uint64_t seed);

  std::uint32_t next_u32();
  std::uint64_t next_u64();
  void fill_bytes(std::span<std::uint8_t> dest);

  // Uniform integer in [low, high); low < high. The upper bound chooses the
  // 32-bit or the 64-bit method.
  std::uint64_t random_range(std::uint64_t low, std::uint64_t high);
  // Uniform integer in [low, high]; low <= high.
  std::uint64_t random_range_inclusive(std::uint64_t low, std::uint64_t high);

  // Moves to the start of keystream block `block` (16 words), as if every
  // earlier block had been drawn.
  void seek_block(std::uint64_t block);

  // Number of stream words handed out so far (for tests of word consumption).
  [[nodiscard]] std::uint64_t words_consumed() const;

  friend bool operator==(const ChaCha8Rng&, const ChaCha8Rng&) = default;

 private:
  static constexpr std::uint32_t kBufferWords = 64;

  void refill();

  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::uint32_t index_ = kBufferWords;
};

}  // namespace korvane
