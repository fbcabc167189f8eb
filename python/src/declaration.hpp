#pragma once

// Every Python-facing function is declared once, as a constant: its name, its
// parameters in order (each with its name, its default as the text signature
// shows it and the conversion of its argument) and its docstring. Binding the
// arguments, the text signature and the values of omitted arguments all follow
// from that one declaration (see arguments.hpp).
//
// The docstrings of the public functions, of the model classes and of their
// public methods are part of the module's documented interface and stay word
// for word as written, short; their parameters are described in
// docs/functional_api.rst instead. Private entry points describe themselves.

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "python.hpp"

namespace korvane::python {

// A default as the text signature shows it. Only literals the binding can turn
// back into the object they denote are accepted: None, True, False, a decimal
// integer or a decimal fraction such as 0.5. An omitted argument is converted
// from that object, exactly as if the caller had written the default.
class ShownDefault {
 public:
  // A text outside these literals stops the compilation.
  consteval ShownDefault(const char* text) : text_(text) {
    if (!is_literal(text_)) throw "a default must be None, True, False or a decimal number";
  }
  [[nodiscard]] constexpr const char* text() const { return text_; }

 private:
  static constexpr bool is_digits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
      if (c < '0' || c > '9') return false;
    }
    return true;
  }
  static constexpr bool is_literal(std::string_view text) {
    if (text == "None" || text == "True" || text == "False") return true;
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos) return is_digits(text);
    return is_digits(text.substr(0, point)) && is_digits(text.substr(point + 1));
  }

  const char* text_;
};

// One parameter. Positional parameters are required and keyword-only ones
// optional, as the binding treats them.
template <class Convert>
struct Parameter {
  // What the argument is converted to.
  using Value = std::invoke_result_t<const Convert&, PyObject*>;

  const char* name;
  const char* shown_default;  // nullptr for a positional parameter
  Convert convert;

  [[nodiscard]] constexpr bool positional() const { return shown_default == nullptr; }
};

template <class Convert>
consteval Parameter<Convert> positional(const char* name, Convert convert) {
  return {name, nullptr, convert};
}

template <class Convert>
consteval Parameter<Convert> keyword(const char* name, ShownDefault shown, Convert convert) {
  return {name, shown.text(), convert};
}

// A method's text signature starts with `$self`, which Python shows as `self, /`.
enum class Receiver { none, self };

template <class... Converts>
struct Declaration {
  using Values = std::tuple<typename Parameter<Converts>::Value...>;
  static constexpr std::size_t size = sizeof...(Converts);

  const char* name;
  Receiver receiver;
  std::tuple<Parameter<Converts>...> parameters;
  const char* doc;

  [[nodiscard]] constexpr std::array<const char*, size> names() const {
    return std::apply([](const auto&... p) { return std::array<const char*, size>{p.name...}; },
                      parameters);
  }

  [[nodiscard]] constexpr std::size_t n_positional() const {
    return std::apply([](const auto&... p) { return (std::size_t{0} + ... + p.positional()); },
                      parameters);
  }

  // `size` when no parameter has this name.
  [[nodiscard]] constexpr std::size_t index_of(std::string_view parameter) const {
    const auto all = names();
    for (std::size_t i = 0; i < size; ++i) {
      if (parameter == all[i]) return i;
    }
    return size;
  }
};

namespace detail {

// The binding requires all positional parameters before the keyword-only ones,
// and CPython's signature parser requires distinct names.
template <class... Converts>
consteval Declaration<Converts...> validated(Declaration<Converts...> declaration) {
  const auto names = declaration.names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (std::string_view(names[i]) == names[j]) throw "two parameters share a name";
    }
  }
  bool keywords_begun = false;
  auto check_order = [&](const auto& p) {
    if (p.positional() && keywords_begun) throw "positional parameters come first";
    keywords_begun = keywords_begun || !p.positional();
  };
  std::apply([&](const auto&... p) { (check_order(p), ...); }, declaration.parameters);
  return declaration;
}

}  // namespace detail

// A module-level function.
template <class... Converts>
consteval Declaration<Converts...> function(const char* name,
                                            std::tuple<Parameter<Converts>...> parameters,
                                            const char* doc) {
  return detail::validated(Declaration<Converts...>{name, Receiver::none, parameters, doc});
}

// A method of a model class.
template <class... Converts>
consteval Declaration<Converts...> method(const char* name,
                                          std::tuple<Parameter<Converts>...> parameters,
                                          const char* doc) {
  return detail::validated(Declaration<Converts...>{name, Receiver::self, parameters, doc});
}

namespace detail {

// Counts the characters written when `out` is null, so that the text's length
// is known before it is written.
struct TextSink {
  char* out = nullptr;
  std::size_t size = 0;

  constexpr void operator()(std::string_view text) {
    for (const char c : text) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
};

// "name(X, times, *, seed=None)\n--\n\ndoc", the form from which CPython reads
// __text_signature__ and __doc__.
template <class Declared>
constexpr void write_doc(const Declared& declaration, TextSink& sink) {
  std::string_view separator;
  auto item = [&](std::string_view text) {
    sink(separator);
    sink(text);
    separator = ", ";
  };
  sink(declaration.name);
  sink("(");
  if (declaration.receiver == Receiver::self) item("$self");
  bool keywords_begun = false;
  auto parameter = [&](const auto& p) {
    if (!p.positional() && !keywords_begun) {
      item("*");
      keywords_begun = true;
    }
    item(p.name);
    if (!p.positional()) {
      sink("=");
      sink(p.shown_default);
    }
  };
  std::apply([&](const auto&... p) { (parameter(p), ...); }, declaration.parameters);
  sink(")\n--\n\n");
  sink(declaration.doc);
}

}  // namespace detail

// The method table's doc text of `D`, NUL-terminated.
template <const auto& D>
inline constexpr auto kDocText = [] {
  constexpr std::size_t length = [] {
    detail::TextSink count;
    detail::write_doc(D, count);
    return count.size;
  }();
  std::array<char, length + 1> text{};
  detail::TextSink sink{text.data()};
  detail::write_doc(D, sink);
  return text;
}();

}  // namespace korvane::python
