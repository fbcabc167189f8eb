#include "persistence/checksum.hpp"

#include <bit>

#include "persistence/byte_stream.hpp"

namespace korvane::detail {

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87u;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Fu;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9u;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63u;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5u;

std::uint64_t mix_lane(std::uint64_t lane, std::uint64_t input) {
  return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge_lane(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ mix_lane(0, lane)) * kPrime1 + kPrime4;
}

// The four lanes over every whole 32-byte stripe, folded into one word.
std::uint64_t hash_stripes(const std::uint8_t*& at, const std::uint8_t* end) {
  std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  for (; end - at >= 32; at += 32) {
    for (std::size_t i = 0; i < 4; ++i)
      lanes[i] = mix_lane(lanes[i], load_le<std::uint64_t>(at + 8 * i));
  }
  std::uint64_t hash = std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) +
                       std::rotl(lanes[3], 18);
  for (const std::uint64_t lane : lanes) hash = merge_lane(hash, lane);
  return hash;
}

std::uint64_t hash_tail(std::uint64_t hash, const std::uint8_t* at, const std::uint8_t* end) {
  for (; end - at >= 8; at += 8) {
    hash = std::rotl(hash ^ mix_lane(0, load_le<std::uint64_t>(at)), 27) * kPrime1 + kPrime4;
  }
  if (end - at >= 4) {
    hash = std::rotl(hash ^ (load_le<std::uint32_t>(at) * kPrime1), 23) * kPrime2 + kPrime3;
    at += 4;
  }
  for (; at < end; ++at) hash = std::rotl(hash ^ (*at * kPrime5), 11) * kPrime1;
  return hash;
}

std::uint64_t avalanche(std::uint64_t hash) {
  hash = (hash ^ (hash >> 33)) * kPrime2;
  hash = (hash ^ (hash >> 29)) * kPrime3;
  return hash ^ (hash >> 32);
}

}  // namespace

std::uint64_t xxh64(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* at = bytes.data();
  const std::uint8_t* end = at + bytes.size();
  std::uint64_t hash = bytes.size() >= 32 ? hash_stripes(at, end) : kPrime5;
  hash += bytes.size();
  return avalanche(hash_tail(hash, at, end));
}

}  // namespace korvane::detail
