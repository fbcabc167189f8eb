#pragma once

// Binds fast-call arguments to a declared function's parameters the way
// CPython binds them for a Python function: positional-or-keyword parameters
// first (all of them required), then keyword-only ones (all optional). Each
// argument is then converted, in parameter order, and read back by name
// through `get`, so a misspelt name is a compile error.

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "declaration.hpp"
#include "python.hpp"

namespace korvane::python {

struct Signature {
  const char* function;
  std::span<const char* const> parameters;
  std::size_t n_positional;
};

// Sets `values[i]` to the argument given for parameter i (borrowed), leaving
// nullptr for an omitted one. Raises TypeError for too many positional
// arguments, an unknown keyword, a parameter given twice, or a missing
// required argument.
void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> values);

// The object a shown default denotes: None, True, False, an int or a float.
OwnedRef default_object(const char* shown);

// The converted arguments of one call of the function declared by `D`. They
// may borrow the caller's objects, so they live no longer than the call.
template <const auto& D>
class Arguments {
  using Declared = std::remove_cvref_t<decltype(D)>;
  static constexpr std::size_t kSize = Declared::size;
  static constexpr std::array<const char*, kSize> kNames = D.names();
  static constexpr Signature kSignature{D.name, kNames, D.n_positional()};

 public:
  Arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
      : given_(bound(args, nargs, kwnames)),
        values_(convert_all(std::make_index_sequence<kSize>{})) {}
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  [[nodiscard]] const typename Declared::Values& values() const { return values_; }

 private:
  static std::array<PyObject*, kSize> bound(PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    std::array<PyObject*, kSize> given{};
    bind(kSignature, args, nargs, kwnames, given);
    return given;
  }

  // A braced list runs its conversions left to right: a call reports the
  // first failing argument in parameter order.
  template <std::size_t... I>
  typename Declared::Values convert_all(std::index_sequence<I...>) {
    return {convert_one<I>()...};
  }

  template <std::size_t I>
  typename std::tuple_element_t<I, typename Declared::Values> convert_one() {
    const auto& parameter = std::get<I>(D.parameters);
    PyObject* value = given_[I];
    if (value == nullptr) {
      defaults_[I] = default_object(parameter.shown_default);
      value = defaults_[I].get();
    }
    return converted(parameter.name, [&] { return parameter.convert(value); });
  }

  std::array<PyObject*, kSize> given_;
  // Objects made for omitted arguments, kept for conversions that borrow.
  std::array<OwnedRef, kSize> defaults_;
  typename Declared::Values values_;
};

// A parameter's name as a template argument.
template <std::size_t N>
struct ParameterName {
  char text[N];
  consteval ParameterName(const char (&name)[N]) {  // implicit, from a literal
    for (std::size_t i = 0; i < N; ++i) text[i] = name[i];
  }
  [[nodiscard]] constexpr std::string_view view() const { return {text, N - 1}; }
};

// The converted argument of the parameter called `Name`.
template <ParameterName Name, const auto& D>
const auto& get(const Arguments<D>& arguments) {
  constexpr std::size_t index = D.index_of(Name.view());
  static_assert(index < std::remove_cvref_t<decltype(D)>::size, "no parameter of this name");
  return std::get<index>(arguments.values());
}

}  // namespace korvane::python
