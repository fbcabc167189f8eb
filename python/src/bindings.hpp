#pragma once

// What the binding units contribute to the module.

#include <span>

#include "python.hpp"

namespace korvane::python {

// Each unit's module functions, in the order they are registered.
std::span<PyMethodDef> tree_functions();
std::span<PyMethodDef> forest_functions();
std::span<PyMethodDef> persistence_functions();

PyTypeObject* log_rank_survival_tree_class();
PyTypeObject* log_rank_survival_forest_class();
PyTypeObject* gradient_forest_class();

}  // namespace korvane::python
