// The unit that owns NumPy's C API table (see python.hpp).
#define KORVANE_DEFINE_NUMPY_API
#include "python.hpp"

namespace korvane::python {

void require_numpy() {
  // Imported lazily, so importing the module initialises nothing but its
  // attributes. The capsule lookup follows the installed NumPy's layout
  // (numpy._core on NumPy 2, numpy.core on NumPy 1).
  static bool imported = false;
  if (imported) return;
  if (_import_array() < 0) throw PythonError{};
  imported = true;
}

}  // namespace korvane::python
