#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

namespace korvane {

// The vector instructions a split search is compiled for. Every unit gives the
// same bits; only the speed differs.
//
// A unit is a type: its name, how many doubles one of its registers holds,
// whether the processor has it, and call<f>, which runs f compiled for the
// unit's instructions (every call inside inlined). VectorUnits lists the units
// of this build, widest first; which units exist, which the processor has, the
// search compiled per unit and the tests all follow from that list, so a new
// unit is its type and its entry there.
namespace vector_units {

// call<kFunction, Args...> takes exactly the parameters of kFunction, so that
// nothing passed by reference is copied on the way: Args are deduced where the
// address of call is taken as a function pointer, or given.
template <auto kFunction, class... Args>
concept ParametersOf =
    std::is_same_v<decltype(kFunction),
                   std::invoke_result_t<decltype(kFunction), Args...> (*)(Args...)>;

template <class... Units>
struct List {
  static constexpr std::size_t kSize = sizeof...(Units);
};

// Portable vector code in 16-byte registers, which every processor runs.
struct Baseline {
  static constexpr std::string_view kName = "baseline";
  static constexpr std::size_t kDoubles = 2;
  static bool available() { return true; }
  template <auto kFunction, class... Args>
    requires ParametersOf<kFunction, Args...>
  static decltype(auto) call(Args... args) {
    return kFunction(std::forward<Args>(args)...);
  }
};

#if defined(__x86_64__) || defined(__i386__)
struct Avx2 {
  static constexpr std::string_view kName = "avx2";
  static constexpr std::size_t kDoubles = 4;
  static bool available() { return __builtin_cpu_supports("avx2") != 0; }
  template <auto kFunction, class... Args>
    requires ParametersOf<kFunction, Args...>
  [[gnu::target("avx2"), gnu::flatten]] static decltype(auto) call(Args... args) {
    return kFunction(std::forward<Args>(args)...);
  }
};

struct Avx512 {
  static constexpr std::string_view kName = "avx512";
  static constexpr std::size_t kDoubles = 8;
  static bool available() { return __builtin_cpu_supports("avx512f") != 0; }
  template <auto kFunction, class... Args>
    requires ParametersOf<kFunction, Args...>
  [[gnu::target("avx512f"), gnu::flatten]] static decltype(auto) call(Args... args) {
    return kFunction(std::forward<Args>(args)...);
  }
};

// The units of this build, widest first; the baseline stays last.
using Built = List<Avx512, Avx2, Baseline>;
#else
using Built = List<Baseline>;
#endif

// The position of Unit in the list.
template <class Unit, class... Units>
consteval std::size_t index_of(List<Units...>) {
  constexpr std::array<bool, sizeof...(Units)> same{std::is_same_v<Unit, Units>...};
  std::size_t index = 0;
  while (index < same.size() && !same[index]) ++index;
  return index;
}

}  // namespace vector_units

using VectorUnits = vector_units::Built;
inline constexpr std::size_t kVectorUnits = VectorUnits::kSize;

// A unit of this build, by its position in VectorUnits; a value out of range
// names no unit and is refused wherever a unit is asked for.
enum class VectorUnit : std::uint8_t {};

// The value of a unit type of the list.
template <class Unit>
  requires(vector_units::index_of<Unit>(VectorUnits{}) < kVectorUnits)
inline constexpr VectorUnit kVectorUnit{
    static_cast<std::uint8_t>(vector_units::index_of<Unit>(VectorUnits{}))};

// What `of` gives for each unit of the build, in list order (widest first),
// indexed by VectorUnit: of.template operator()<Unit>().
template <class Of, class... Units>
constexpr auto per_unit(Of of, vector_units::List<Units...>) {
  return std::array{of.template operator()<Units>()...};
}
template <class Of>
constexpr auto per_unit(Of of) {
  return per_unit(of, VectorUnits{});
}

// Every unit of this build, widest first.
inline constexpr std::array<VectorUnit, kVectorUnits> kAllVectorUnits =
    per_unit([]<class Unit>() { return kVectorUnit<Unit>; });

// Whether this build and this processor can run code compiled for `unit`.
[[nodiscard]] bool supports(VectorUnit unit);
// The widest unit this processor has, found once.
[[nodiscard]] VectorUnit widest_vector_unit();
// The unit's name ("avx2"), or "unknown" for a value naming no unit.
[[nodiscard]] std::string_view name_of(VectorUnit unit);

}  // namespace korvane
