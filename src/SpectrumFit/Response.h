// The detector response the spectrum fit and the synthetic spectra share: line groups as
// sums of transitions, channel-integrated Gaussian peaks with escape peaks, and the
// quadratic B-spline background.
#ifndef CALYX_SPECTRUMFIT_RESPONSE_H
#define CALYX_SPECTRUMFIT_RESPONSE_H

#include <string>
#include <vector>

#include "calyx/SpectrumFit.h"

namespace calyx {
namespace detail {

/// One photon energy of a column with its share of the column's area.
struct Transition {
  double energyKeV = 0.0;
  double weight = 0.0;          ///< shares of a column add up to 1
  double escapeFraction = 0.0;  ///< share of this transition's photons in its escape peak
};

/// A peak column of the linear model: unit area spread over its transitions.
struct PeakColumn {
  enum Kind { kLine, kCompanion, kRayleigh, kCompton };
  Kind kind = kLine;
  int analysisIndex = -1;  ///< position among the beam's analysis lines (kLine)
  int Z = 0;               ///< the emitting element (the anode for scatter peaks)
  bool tubeAlpha = false;  ///< a scatter peak of the tube's alpha line (the scatter rate)
  std::string label;       ///< "Fe KA", "Rh KA Compton"
  double energyKeV = 0.0;  ///< the column's nominal energy
  std::vector<Transition> transitions;
};

/// Shape parameters: energy scale, resolution and Compton width.
struct ShapeParameters {
  double offsetKeV = 0.0;
  double gainKeV = 0.0;
  double noiseEV = 0.0;
  double fano = 0.114;
  double comptonWidth = 2.0;
  double tailFraction = 0.0;  ///< synthetic spectra only
  double tailSlopeKeV = 0.1;
};

/// Shape of a column over channels [first, end): values added to `out` (indexed from
/// `first`) times `area`. Each transition's peak is cut at +-5 sigma (the mass beyond is
/// below 6e-7).
void addPeakColumn(const PeakColumn& column, const ShapeParameters& shape, bool escape, double escapeLineKeV,
                   unsigned int first, unsigned int end, double area, std::vector<double>& out);

/// The same column as a sparse vector: first channel and values.
struct SparseColumn {
  unsigned int start = 0;  ///< channel of values[0]
  std::vector<double> values;
};
void buildPeakColumn(const PeakColumn& column, const ShapeParameters& shape, bool escape, double escapeLineKeV,
                     unsigned int first, unsigned int end, SparseColumn& out);

/// Sum (pile-up) peaks of the `count` line columns of largest area: for each pair i <= j of
/// them, (2 - δ_ij) scale area_i area_j / liveTime counts (two photons within the resolving
/// time `scale`, in seconds, of each other), spread over the pairs of their transitions at the
/// summed energies with the detector's width there and no escape peak; added to out (indexed
/// from `first`).
void addPileUpPeaks(const std::vector<const PeakColumn*>& columns, const std::vector<double>& areas,
                    unsigned int count, double liveTime, double scale, const ShapeParameters& shape,
                    unsigned int first, unsigned int end, std::vector<double>& out);

/// Quadratic B-splines on knots `spacing` keV apart covering [lowKeV, highKeV], evaluated
/// at the channels' energies under `scale`.
std::vector<SparseColumn> backgroundColumns(double lowKeV, double highKeV, double spacing, const EnergyScale& scale,
                                            unsigned int first, unsigned int end);

/// The transitions of a line code of element Z: a group (KA, KB, LA, LB, or -1000 for the
/// M-alpha group) or a single transition, weighted by radiative rate, fluorescence yield and
/// the share of vacancies in its shell, times the detector efficiency. Empty when the element
/// has none.
/// `intensity`, when given, receives the sum of the weights before normalisation (photons
/// detected per vacancy-weighted ionisation), which compares groups of one element.
std::vector<Transition> lineTransitions(int Z, int code, const DetectorHardware& detector, bool escape,
                                        double* intensity = nullptr);

/// Fraction of photons of `energyKeV` absorbed in the crystal that leave a K photon of the
/// crystal element behind in the escape peak.
double escapeFraction(const DetectorHardware& detector, double energyKeV);
/// K-alpha energy of the crystal element (the escape shift), keV.
double escapeLineKeV(const DetectorHardware& detector);

/// Code of the M-alpha group among the transition groups.
constexpr int kMAlphaGroup = -1000;

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_SPECTRUMFIT_RESPONSE_H
