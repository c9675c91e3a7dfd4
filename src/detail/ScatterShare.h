// The share of one scatter process in a mixture's attenuation, Σ w σ(Z, E) / Σ w μ(Z, E),
// shared by the Compound and the Sherman-chemistry forms so that both sum in the same order.
#ifndef CALYX_DETAIL_SCATTERSHARE_H
#define CALYX_DETAIL_SCATTERSHARE_H

#include "detail/Xraylib.h"

namespace calyx {
namespace detail {

// Σ w σ(Z, E) / Σ w μ(Z, E) in one pass over the (element, weight) pairs `visit` gives.
template <typename Cross, typename Visit>
double scatterShare(Cross cross, double energyKeV, Visit visit) {
  double scatter = 0.0;
  double total = 0.0;
  visit([&](int z, double w) {
    scatter = scatter + w * cross(z, energyKeV);
    total = total + w * detail::xrl::csTotal(z, energyKeV);
  });
  return scatter / total;
}

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_SCATTERSHARE_H
