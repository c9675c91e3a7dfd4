// Finding a point of a beam's excitation by its energy.
#ifndef CALYX_DETAIL_EXCITATION_H
#define CALYX_DETAIL_EXCITATION_H

#include "calyx/Spectrum.h"

namespace calyx {
namespace detail {

/// The point of the excitation's continuum nearest `keV`, within half a keV, or -1. The
/// continuum is the leading run of ascending energies (a tube's lines follow it); on the
/// default 1 keV grid the point at 20 keV is index 19.
int continuumPointAt(const SpectrumBase<double>& excitation, double keV);

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_EXCITATION_H
