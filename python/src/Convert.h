// Python values to the library's: element symbols, line labels, compositions, rates.
// Each refuses what the library would misread (an unknown symbol is element 0 to it) with
// calyx.InputError.
#ifndef CALYX_PYTHON_CONVERT_H
#define CALYX_PYTHON_CONVERT_H

#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <calyx/Chemistry.h>
#include <calyx/XRFLine.h>

#include "Core.h"

namespace calyxpy {

using DoubleArray = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

/// "Fe" or an atomic number.
calyx::Element toElement(pybind11::handle value);
/// "Fe KA", "Pb -90", ("Fe", "KA") or ("Pb", -90).
calyx::XRFLine toLine(pybind11::handle value);
/// {symbol: mass fraction}, each fraction finite and within [0, 1]; with `requireUnitSum`
/// they must add up to 1 within 0.01 (a larger gap is a typing error, not a sample).
calyx::Compound toCompound(pybind11::handle value, bool requireUnitSum);
pybind11::dict compositionDict(const calyx::Compound& compound, bool uncertainties);

/// A 1-D float64 array from any array-like (no copy for a C-contiguous float64 array).
DoubleArray toArray(pybind11::handle value, const char* what);
/// A new 1-D float64 array holding `values`.
pybind11::array_t<double> newArray(const std::vector<double>& values);
/// A read-only view of `count` doubles at `data` that keeps `owner` alive.
pybind11::array readOnlyView(const double* data, std::size_t count, pybind11::handle owner);

/// One beam's rates: a mapping {line: rate}, or a sequence of lines with an array of rates.
BeamMeasurement toBeam(pybind11::handle lines, pybind11::handle rates, pybind11::handle scatter,
                       pybind11::handle uncertainties);

}  // namespace calyxpy

#endif  // CALYX_PYTHON_CONVERT_H
