// The rate equation of the Sherman model evaluated plainly, as it reads: xraylib look-ups,
// logarithms and sines inside the loops, nothing tabulated. Slow; it is the reference that
// the tabulated computeRates() must match bit for bit, in the tests and the benchmarks.
#ifndef CALYX_TESTS_SUPPORT_REFERENCERATES_H
#define CALYX_TESTS_SUPPORT_REFERENCERATES_H

#include <vector>

#include "calyx/Sherman.h"

namespace calyx {
namespace detail {

struct ReferenceRates {
  std::vector<double> rates;            ///< one per model line
  std::vector<double> lineAttenuation;  ///< μs at each line energy
  std::vector<double> binAttenuation;   ///< μs at each excitation point (binCount entries)
};

/// Rates of the model's lines for its chemistry's current fractions and its excitation
/// spectrum's current energies and values, on the calling thread. Reads the model's lines,
/// sensitivities, angles and binCount; the model is not changed.
ReferenceRates referenceRates(const Sherman& model);

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_REFERENCERATES_H
