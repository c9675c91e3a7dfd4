// The engine's internal check that its pointers into the shared chemistry still hold.
#ifndef CALYX_FPRATEALGORITHM_LAYOUT_H
#define CALYX_FPRATEALGORITHM_LAYOUT_H

#include "calyx/FPRateAlgorithm.h"

namespace calyx {
namespace detail {

/// True when the chemistry's three arrays have one entry per element and every analysis line
/// and model line still points into them. Otherwise (a host resized them after the build, so
/// the pointers lead into freed memory) logs "<step> refused: ..." at error level.
bool engineLayoutIntact(const FPRateAlgorithm& engine, const char* step);

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_FPRATEALGORITHM_LAYOUT_H
