// The data `scaling.py --dump DIR` writes, read back by the C++ benchmark
// programs beside this header: covariates column-major, times, event bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "korvane/data.hpp"

namespace korvane::bench {

template <class T>
std::vector<T> load(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<T> out(static_cast<std::size_t>(in.tellg()) / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()),
          static_cast<std::streamsize>(out.size() * sizeof(T)));
  return out;
}

struct Dump {
  std::vector<double> values;  // column-major
  std::vector<double> time;
  std::vector<std::uint8_t> event;

  explicit Dump(const std::string& base)
      : values(load<double>(base + ".X")),
        time(load<double>(base + ".t")),
        event(load<std::uint8_t>(base + ".e")) {}

  [[nodiscard]] MatrixView x() const {
    const std::size_t n = time.size();
    return {values.data(), n, values.size() / n, 1, static_cast<std::ptrdiff_t>(n)};
  }
};

}  // namespace korvane::bench
