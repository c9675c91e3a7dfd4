// Light-element balance. Elements too light for the detector (C, O, ...) still make up part
// of the sample; their share is estimated from the Compton scatter of the tube radiation,
// which grows with the sample's light-element content because light elements scatter
// relatively more than they absorb. The predicted scatter rate is the tube intensity at one
// energy times the Compton share of the sample's attenuation at the scattered energy
// (the scatter-ratio approach of K.K. Nielson, Anal. Chem. 49 (1977) 641), times the
// detector efficiency and a calibrated factor and offset (beam 0's).
#include <algorithm>
#include <cmath>

#include "calyx/FPRateAlgorithm.h"
#include "detail/Excitation.h"
#include "detail/Log.h"

namespace calyx {
namespace {

// The excitation energies the scatter model reads (points 19 and 20 of the default 1 keV
// grid), found by energy so that any grid step serves.
constexpr double kScatterPointKeV = 20.0;
constexpr double kComptonRatePointKeV = 21.0;
constexpr double kNearestPointKeV = 0.5;
// The residual step takes the Compton energy of 19 keV for the 20 keV intensity; the
// calibration of the scatter factor uses the same pairing, so the two stay consistent.
constexpr double kResidualScatterKeV = 19.0;
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

// Beam 0's excitation when it has the point the scatter model reads (its index in `point`),
// otherwise null (with a warning): a beam below 20 kV has no such point.
const SpectrumBase<double>* scatterExcitation(const Sherman& model, unsigned int& point) {
  const SpectrumBase<double>* excitation = model.excitationSpectrum();
  const int found = excitation != nullptr ? detail::continuumPointAt(*excitation, kScatterPointKeV) : -1;
  if (found >= 0) {
    point = static_cast<unsigned int>(found);
    return excitation;
  }
  CALYX_LOG_WARN("light elements not corrected: beam 0's excitation has no point at {:g} keV", kScatterPointKeV);
  return nullptr;
}

}  // namespace

int detail::continuumPointAt(const SpectrumBase<double>& excitation, double keV) {
  const unsigned int n = excitation.size();
  int best = -1;
  double bestDistance = kNearestPointKeV;
  for (unsigned int i = 0; i < n; ++i) {
    const double E = excitation.energyAt(i);
    if (i > 0 && !(E > excitation.energyAt(i - 1))) break;  // the lines begin
    const double distance = std::fabs(E - keV);
    if (distance <= bestDistance && (best < 0 || distance < bestDistance)) {
      best = static_cast<int>(i);
      bestDistance = distance;
    }
  }
  return best;
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

void FPRateAlgorithm::adjustLEChemByResidual(int lastBeam) {
  if (shermans.empty()) return;
  // Beyond the last beam (a negative index reads as a large unsigned one) means every beam,
  // as in the line step.
  const unsigned int last = std::min<unsigned int>(static_cast<unsigned int>(lastBeam),
                                                   static_cast<unsigned int>(shermans.size() - 1));
  if (leElements[0].empty() && leElements[last].empty()) return;  // nothing to balance

  const double sum = fractionSum(*chemistry, leElements[0]);
  const Sherman& model = shermans[0];
  unsigned int point = 0;
  const SpectrumBase<double>* excitation = scatterExcitation(model, point);
  if (excitation == nullptr) return;
  const double intensity = excitation->valueAt(point);
  const double energy = comptonScatterEnergy(scatterAngle(model), kResidualScatterKeV);
  const Compound compound = getCompound();
  CALYX_LOG_INFO("******* compound before LE ****** {:s}", compoundToString(compound));

  double predicted = intensity * comptonScatterCoefficient(compound, energy);
  predicted = predicted * detector.getDetectorEfficiencyFactor(energy);
  predicted = predicted * leCalibrationFactors[0];
  predicted = predicted + leCalibrationOffsets[0];
  const double measured = leRates[0];
  CALYX_LOG_INFO("LE p:{:.2f} m:{:.2f}", predicted, measured);

  // The step divides by the light elements' sum, the prediction and the count of the
  // light elements it moves; where one is 0 or not finite it would write NaN.
  const std::size_t count = leElements[last].size();
  if (count == 0 || !usable(sum) || !usable(predicted) || !std::isfinite(measured)) {
    CALYX_LOG_WARN("light elements not corrected: beam {:d} has {:d} light elements, beam 0's sum {:g}, "
                   "scatter predicted {:g}, measured {:g}",
                   last, count, sum, predicted, measured);
    return;
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
}

void FPRateAlgorithm::adjustLEChemByRatio() {
  if (shermans.empty()) return;
  const std::set<Element>& light = leElements[0];
  const double sum = fractionSum(*chemistry, light);
  const Sherman& model = shermans[0];
  unsigned int point = 0;
  const SpectrumBase<double>* excitation = scatterExcitation(model, point);
  if (excitation == nullptr) return;
  const double intensity = excitation->valueAt(point);
  const double energy = comptonScatterEnergy(scatterAngle(model), excitation->energyAt(point));
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
  const SpectrumBase<double>* excitation = shermans[beam].excitationSpectrum();
  const int point = excitation != nullptr ? detail::continuumPointAt(*excitation, kComptonRatePointKeV) : -1;
  if (point < 0) {
    CALYX_LOG_WARN("beam {:d}'s excitation has no point at {:g} keV: no Compton rate", beam, kComptonRatePointKeV);
    return 0.0;
  }
  return excitation->valueAt(static_cast<unsigned int>(point));
}

}  // namespace calyx
