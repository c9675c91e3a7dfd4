// The parts of the module, bound in their own units.
#ifndef CALYX_PYTHON_MODULE_H
#define CALYX_PYTHON_MODULE_H

#include <pybind11/pybind11.h>

#include "Core.h"

namespace calyxpy {

void bindEngine(pybind11::module_& m);

}  // namespace calyxpy

#endif  // CALYX_PYTHON_MODULE_H
