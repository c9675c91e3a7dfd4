// Light-element balance. Elements too light for the detector (C, O, ...) still make up part
// of the sample; their share is estimated from the Compton scatter of the tube radiation,
// which grows with the sample's light-element content because light elements scatter
// relatively more than they absorb. The predicted scatter rate is the tube intensity at one
// energy times the Compton share of the sample's attenuation at the scattered energy
// (the scatter-ratio approach of K.K. Nielson, Anal. Chem. 49 (1977) 641), times the
// detector efficiency and a calibrated factor and offset (beam 0's).
#include <algorithm>
#include <cmath>
#include <limits>

#include "calyx/FPRateAlgorithm.h"
#include "FPRateAlgorithm/Layout.h"
#include "detail/Log.h"

namespace calyx {
namespace {

// The scatter model reads the tube intensity at 20 keV; the Compton rate of a beam is its
// intensity at 21 keV. Both are points of the beam's continuum, found by energy.
constexpr double kScatterIntensityKeV = 20.0;
constexpr double kComptonRateKeV = 21.0;
// The scatter model takes the Compton energy of 19 keV for the 20 keV intensity; the
// residual step and the calibration of the scatter factor share it through
// scatterModelRate, so the two stay consistent.
constexpr double kScatterComptonKeV = 19.0;
// Continuum energies are the grid's first energy plus whole steps; a point counts as "at" an
// energy within this distance.
constexpr double kEnergyMatchKeV = 1e-9;
// Gain of the residual step while the light elements are practically absent (S / P is then
// no guide): a change of 0.00043 in their sum per unit of scatter-rate residual.
constexpr double kLowLightElementGain = 0.0004318181818181818;
constexpr double kLowLightElementSum = 1e-8;
// The ratio step moves the light elements' sum by at most this much per call.
constexpr double kRatioStepLimit = 0.05;
constexpr double kRatioFloor = 1e-10;

bool usable(double x) { return x != 0.0 && std::isfinite(x); }

// Sum of the fractions of the given light elements.
double fractionSum(const Sherman::Chemistry& chemistry, const std::set<Element>& elements) {
  double sum = 0.0;
  for (const Element& element : elements) {
    const int index = chemistry.getIndex(element);
    if (index >= 0) sum += chemistry.fractions[index];
  }
  return sum;
}

// The angle through which the sample scatters into the detector, as the scatter model of the
// engine and of its calibration defines it: the sum of the two geometry angles.
Angle scatterAngle(const Sherman& model) {
  return Angle::createFromRadian(model.takeOffAngle().radians() + model.incidenceAngle().radians());
}

}  // namespace

int FPRateAlgorithm::continuumPoint(unsigned int beam, double energyKeV) const {
  if (beam >= shermans.size() || beam >= continuumSizes_.size()) return -1;
  const SpectrumBase<double>* excitation = shermans[beam].excitationSpectrum();
  if (excitation == nullptr) return -1;
  const unsigned int n = std::min(continuumSizes_[beam], excitation->size());
  for (unsigned int j = 0; j < n; ++j)
    if (std::fabs(excitation->energyAt(j) - energyKeV) <= kEnergyMatchKeV) return static_cast<int>(j);
  // A grid whose step does not land on the energy (an opt-in step of 0.3 keV, a user's
  // table): the nearest point within half its own step, never the continuum's last point,
  // which lies at the tube voltage where the continuum ends.
  int nearest = -1;
  double distance = 0.0;
  for (unsigned int j = 0; j + 1 < n; ++j) {
    const double d = std::fabs(excitation->energyAt(j) - energyKeV);
    const double halfStep = 0.5 * (excitation->energyAt(j + 1) - excitation->energyAt(j));
    if (d < halfStep && (nearest < 0 || d < distance)) {
      nearest = static_cast<int>(j);
      distance = d;
    }
  }
  return nearest;
}

namespace {

// A scatter rate of 0 or below, or not finite, is no measurement: read as one it would drive
// the light elements negative (or to any size), as a line's rate would drive its element.
bool scatterRateUsable(double measured) {
  if (measured > 0.0 && std::isfinite(measured)) return true;
  CALYX_LOG_WARN("light elements not corrected: scatter measured {:g} (beam 0) is not a finite number above 0",
                 measured);
  return false;
}

}  // namespace

bool FPRateAlgorithm::hasScatterModel(unsigned int beam) const {
  // At a voltage of exactly 20 kV the point exists but the continuum ends there at 0.
  const int point = continuumPoint(beam, kScatterIntensityKeV);
  if (point < 0) return false;
  const double intensity = shermans[beam].excitationSpectrum()->valueAt(static_cast<unsigned int>(point));
  return intensity > 0.0 && std::isfinite(intensity);
}

double FPRateAlgorithm::scatterModelRate(const Compound& compound, unsigned int beam) const {
  const int point = continuumPoint(beam, kScatterIntensityKeV);
  if (point < 0) return std::numeric_limits<double>::quiet_NaN();
  const Sherman& model = shermans[beam];
  const double intensity = model.excitationSpectrum()->valueAt(static_cast<unsigned int>(point));
  const double energy = comptonScatterEnergy(scatterAngle(model), kScatterComptonKeV);
  const double predicted = intensity * comptonScatterCoefficient(compound, energy);
  return predicted * detector.getDetectorEfficiencyFactor(energy);
}

double FPRateAlgorithm::predictedScatterRate(const Compound& compound, unsigned int beam) const {
  double predicted = scatterModelRate(compound, beam);
  if (beam >= leCalibrationFactors.size()) return predicted;  // no such beam: not a number already
  predicted = predicted * leCalibrationFactors[beam];
  return predicted + leCalibrationOffsets[beam];
}

void FPRateAlgorithm::setLERate(unsigned int beam, double rate) { leRates[beam] = rate; }

void FPRateAlgorithm::setLECalibrationFactor(unsigned int beam, double value) { leCalibrationFactors[beam] = value; }

void FPRateAlgorithm::setLECalibrationOffset(unsigned int beam, double value) { leCalibrationOffsets[beam] = value; }

void FPRateAlgorithm::setLEAsBalance() {
  if (shermans.empty()) return;
  const std::set<Element>& light = leElements[0];
  double others = 0.0;
  for (std::size_t i = 0; i < chemistry->elements.size(); ++i)
    if (light.count(chemistry->elements[i]) == 0) others += chemistry->fractions[i];
  if (!(others < 1.0)) return;
  for (const Element& element : light)
    chemistry->set(element, (1.0 - others) / static_cast<double>(light.size()), 0.0);
}

void FPRateAlgorithm::adjustLEChemByResidual(int lastBeam) { correctLightElements(lastBeam); }

bool FPRateAlgorithm::correctLightElements(int lastBeam) {
  if (shermans.empty()) return true;
  // Beyond the last beam (a negative index reads as a large unsigned one) means every beam,
  // as in the line step.
  const unsigned int last = std::min<unsigned int>(static_cast<unsigned int>(lastBeam),
                                                   static_cast<unsigned int>(shermans.size() - 1));
  if (leElements[0].empty() && leElements[last].empty()) return true;  // nothing to balance
  if (!scatterRateUsable(leRates[0])) return false;
  if (!detail::engineLayoutIntact(*this, "light-element correction")) return false;

  const double sum = fractionSum(*chemistry, leElements[0]);
  const Compound compound = getCompound();
  CALYX_LOG_INFO("******* compound before LE ****** {:s}", compoundToString(compound));

  const double predicted = predictedScatterRate(compound);
  const double measured = leRates[0];
  CALYX_LOG_INFO("LE p:{:.2f} m:{:.2f}", predicted, measured);

  // The step divides by the light elements' sum, the prediction and the count of the
  // light elements it moves; where one is 0 or not finite it would write NaN.
  const std::size_t count = leElements[last].size();
  if (count == 0 || !usable(sum) || !usable(predicted) || !std::isfinite(measured)) {
    CALYX_LOG_WARN("light elements not corrected: beam {:d} has {:d} light elements, beam 0's sum {:g}, "
                   "scatter predicted {:g}, measured {:g}",
                   last, count, sum, predicted, measured);
    return false;
  }

  // Light elements at the normalisation floor (1e-8 each) cannot grow out of it by a
  // relative step; a fixed gain gives them an absolute start instead. The floor is per
  // element, so the threshold scales with beam 0's light-element count.
  const double floorSum = kLowLightElementSum * static_cast<double>(std::max<std::size_t>(1, leElements[0].size()));
  const double gain = sum > floorSum ? sum / predicted : kLowLightElementGain;
  const double delta = (measured - predicted) * gain;
  CALYX_LOG_INFO("LE deltaChem: {:f}", delta);

  // The light elements of the corrected beam share the change in proportion to their
  // fractions.
  const double share = 1.0 / static_cast<double>(count);
  for (std::size_t i = 0; i < chemistry->elements.size(); ++i) {
    if (leElements[last].count(chemistry->elements[i]) == 0) continue;
    double& f = chemistry->fractions[i];
    f = f + share * (f * (delta / sum));
  }
  CALYX_LOG_INFO("******* compound After LE ****** {:s}", compoundToString(getCompound()));
  return true;
}

void FPRateAlgorithm::adjustLEChemByRatio() {
  if (shermans.empty()) return;
  if (!detail::engineLayoutIntact(*this, "light-element correction")) return;
  const std::set<Element>& light = leElements[0];
  const double sum = fractionSum(*chemistry, light);
  const Sherman& model = shermans[0];
  const int point = continuumPoint(0, kScatterIntensityKeV);
  if (point < 0) {
    CALYX_LOG_WARN("light elements not corrected: beam 0's continuum stops below {:g} keV", kScatterIntensityKeV);
    return;
  }
  const SpectrumBase<double>* excitation = model.excitationSpectrum();
  const double intensity = excitation->valueAt(static_cast<unsigned int>(point));
  // The Compton energy of the intensity's own energy (20 keV), unlike the residual step.
  const double energy =
      comptonScatterEnergy(scatterAngle(model), excitation->energyAt(static_cast<unsigned int>(point)));
  const double predicted =
      intensity * comptonScatterCoefficient(getCompound(), energy) * leCalibrationFactors[0];
  const double measured = leRates[0];
  CALYX_LOG_INFO("LE p:{:.2f} m:{:.2f}", predicted, measured);

  if (light.empty() || !usable(predicted) || !std::isfinite(measured) || !std::isfinite(sum)) {
    CALYX_LOG_WARN("light elements not corrected: beam 0 has {:d} light elements, their sum {:g}, "
                   "scatter predicted {:g}, measured {:g}",
                   light.size(), sum, predicted, measured);
    return;
  }

  const double t = std::tanh(measured / predicted - 1.0);
  if (chemistry->elements.empty()) return;
  double total = sum + kRatioStepLimit * t;
  if (total < kRatioFloor) total = kRatioFloor;
  for (const Element& element : light) {
    const int index = chemistry->getIndex(element);
    if (index >= 0) chemistry->fractions[index] = total / static_cast<double>(light.size());
  }
}

void FPRateAlgorithm::adjustLEChem(unsigned int beam, double predictedRate, double baseFactor) {
  const double measured = leRates[beam];
  if (measured <= 0) {
    CALYX_LOG_WARN("no LE Measured rate set for beam {:d}", beam);
    return;
  }
  double factor = std::tanh(measured / predictedRate - 1.0) * kRatioStepLimit + baseFactor;
  if (factor < kRatioFloor) factor = kRatioFloor;
  if (factor > 1.0) factor = 1.0;
  if (std::isnan(factor)) {
    CALYX_LOG_WARN("light elements of beam {:d} not corrected: measured {:g}, predicted {:g}, base factor {:g}",
                   beam, measured, predictedRate, baseFactor);
    return;
  }
  for (const Element& element : leElements[beam]) {
    const int index = chemistry->getIndex(element);
    if (index >= 0) chemistry->fractions[index] *= factor;
  }
}

double FPRateAlgorithm::getComptonRateForBeam(unsigned int beam) {
  const int point = continuumPoint(beam, kComptonRateKeV);
  if (point < 0) {
    CALYX_LOG_WARN("beam {:d}'s continuum stops below {:g} keV: no Compton rate", beam, kComptonRateKeV);
    return 0.0;
  }
  return shermans[beam].excitationSpectrum()->valueAt(static_cast<unsigned int>(point));
}

}  // namespace calyx
