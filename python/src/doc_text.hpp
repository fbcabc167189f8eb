#pragma once

// Docstrings assembled at compile time from pieces, so that a parameter several
// functions take is described in one place, next to its declaration.

#include <array>
#include <cstddef>

namespace korvane::python {

// The parts' texts one after the other, NUL-terminated; the result's data()
// serves as a declaration's docstring.
template <std::size_t... N>
consteval auto join_text(const char (&... parts)[N]) {
  std::array<char, (std::size_t{1} + ... + (N - 1))> text{};
  std::size_t at = 0;
  auto append = [&](const char* part, std::size_t size) {
    for (std::size_t i = 0; i + 1 < size; ++i) text[at++] = part[i];
  };
  (append(parts, N), ...);
  return text;
}

}  // namespace korvane::python
