// Pieces of the tube model that tests check against hand-worked numbers.
#ifndef CALYX_DETAIL_TUBEMODEL_H
#define CALYX_DETAIL_TUBEMODEL_H

namespace calyx {
namespace detail {

/// Exponent k of the factor (V / 2E)^k of the continuum: 0.23 at Z = 24, 0.17 at Z = 45,
/// 0.15 at Z = 74, linear on either side of Z = 45 and extended beyond.
double tubeContinuumExponent(int anodeZ);

/// Line-intensity factor R(Z) = b + n / (a + Z⁴) of a group line (KB = 1, LA = 2, LB = 3;
/// every other code takes the KA constants).
double tubeLineFactor(int lineCode, int anodeZ);

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_TUBEMODEL_H
