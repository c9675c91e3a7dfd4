// A handheld analyser's engine for tests (its hardware: support/HardwareFixtures.h), its
// compositions written as symbols and fractions, and its predictions written out independently
// on xraylib's C functions: a line's calibrated prediction R c ε(E) and the light-element
// scatter prediction I μC(E') ε(E') F + O.
#ifndef CALYX_TESTS_SUPPORT_HANDHELDENGINE_H
#define CALYX_TESTS_SUPPORT_HANDHELDENGINE_H

#include <xraylib.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "calyx/FPRateAlgorithm.h"
#include "calyx/Logger.h"
#include "support/HardwareFixtures.h"
#include "support/LogCapture.h"

namespace calyx {
namespace testing {

/// A composition as element symbols with mass fractions.
using Parts = std::vector<std::pair<const char*, double>>;

/// The compound of the parts, uncertainties 0.
inline Compound compound(const Parts& parts) {
  Compound c;
  for (const auto& p : parts) c.set(ElementChemistry(Element(p.first), p.second, 0.0));
  return c;
}

/// Puts the parts into the engine's chemistry (its other elements at 0); the models'
/// rates stay those of the last computation.
inline void setComposition(FPRateAlgorithm& engine, const Parts& parts) {
  engine.chemistry->setCompound(compound(parts));
}

/// The engine's current fraction of an element it holds.
inline double fractionOf(const FPRateAlgorithm& engine, const char* symbol) {
  return engine.chemistry->fractions[engine.chemistry->getIndex(Element(symbol))];
}

/// A line of an element by symbol and xraylib line code.
inline XRFLine line(const char* symbol, int code) { return XRFLine::create(Element(symbol), code); }

inline FPRateAlgorithm::Builder handheldBuilder() {
  FPRateAlgorithm::Builder builder;
  builder.detectorHardware(siliconDriftDetector()).tubeHardware(rhodiumTube());
  return builder;
}

inline std::unique_ptr<FPRateAlgorithm> buildEngine(FPRateAlgorithm::Builder& builder) {
  std::unique_ptr<FPRateAlgorithm> engine;
  EXPECT_EQ(builder.create(engine), 0);
  return engine;
}

/// Beer-Lambert transmission of an element layer at its own density, t in µm.
inline double layerTransmission(int z, double micrometres, double energyKeV) {
  return std::exp(-ElementDensity(z, nullptr) * micrometres * 1e-4 * CS_Total(z, energyKeV, nullptr));
}

/// The fraction of photons that pass the detector's window and stop in its crystal.
inline double detectorEfficiency(const DetectorHardware& d, double energyKeV) {
  return layerTransmission(d.windowZ, d.windowThickness, energyKeV) *
         (1.0 - layerTransmission(d.Z, d.thickness, energyKeV));
}

/// A line's calibrated, efficiency-weighted prediction R c ε(E).
inline double linePrediction(const FPRateAlgorithm& engine, const FPRateAlgorithm::AnalysisLine& line) {
  return *line.theoreticalRate * line.calibrationFactor *
         detectorEfficiency(engine.detector, line.line.lineEnergyKeV());
}

/// Energy of a photon of `energyKeV` after the Compton shift through `radians`, the shift
/// taken off the wavelength as the library's scatter model does.
inline double comptonEnergy(double radians, double energyKeV) {
  const double hc = 12.3984193;
  const double comptonWavelength = 0.024266195720864605;
  return hc / (hc / energyKeV - comptonWavelength * (1.0 - std::cos(radians)));
}

/// Σ w σC / Σ w μ of the engine's current composition.
inline double comptonShare(const FPRateAlgorithm& engine, double energyKeV) {
  double compton = 0.0;
  double total = 0.0;
  const Sherman::Chemistry& c = *engine.chemistry;
  for (std::size_t i = 0; i < c.elements.size(); ++i) {
    compton += c.fractions[i] * CS_Compt(c.elements[i].atomicNumber(), energyKeV, nullptr);
    total += c.fractions[i] * CS_Total(c.elements[i].atomicNumber(), energyKeV, nullptr);
  }
  return compton / total;
}

/// The scatter prediction of the residual light-element step for the current composition:
/// beam 0's excitation at 20 keV, Compton share and detector efficiency at the Compton
/// energy of 19 keV, then beam 0's factor and offset.
inline double scatterPrediction(const FPRateAlgorithm& engine) {
  const Sherman& model = engine.shermans[0];
  const double angle = model.takeOffAngle().radians() + model.incidenceAngle().radians();
  const double energy = comptonEnergy(angle, 19.0);
  return model.excitationSpectrum()->valueAt(19) * comptonShare(engine, energy) *
             detectorEfficiency(engine.detector, energy) * engine.leCalibrationFactors[0] +
         engine.leCalibrationOffsets[0];
}

/// Sets the logger's level for the lifetime of the guard.
class LogLevelGuard : LoggerState {
 public:
  explicit LogLevelGuard(spdlog::level::level_enum level) { getLogger()->set_level(level); }
};

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_HANDHELDENGINE_H
