#include "korvane/vector_unit.hpp"

namespace korvane {

bool supports(VectorUnit unit) {
  switch (unit) {
#if defined(__x86_64__) || defined(__i386__)
    case VectorUnit::kAvx512:
      return __builtin_cpu_supports("avx512f") != 0;
    case VectorUnit::kAvx2:
      return __builtin_cpu_supports("avx2") != 0;
#else
    case VectorUnit::kAvx512:
    case VectorUnit::kAvx2:
      return false;
#endif
    case VectorUnit::kBaseline:
      return true;
  }
  return false;
}

VectorUnit widest_vector_unit() {
  static const VectorUnit unit = supports(VectorUnit::kAvx512) ? VectorUnit::kAvx512
                                 : supports(VectorUnit::kAvx2) ? VectorUnit::kAvx2
                                                               : VectorUnit::kBaseline;
  return unit;
}

}  // namespace korvane
