#pragma once

// What the binding units contribute to the module.

#include "python.hpp"

namespace korvane::python {

extern PyMethodDef fit_log_rank_tree_function;
extern PyMethodDef fit_log_rank_forest_function;
extern PyMethodDef fit_gradient_forest_function;
extern PyMethodDef grow_log_rank_forest_function;
extern PyMethodDef grow_gradient_forest_function;

PyTypeObject* log_rank_survival_tree_class();
PyTypeObject* log_rank_survival_forest_class();
PyTypeObject* gradient_forest_class();

}  // namespace korvane::python
