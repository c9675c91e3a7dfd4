// Detector and tube records and their JSON readers.
//
// Detector efficiency: the fraction transmitted by the entrance window times the fraction
// absorbed in the crystal, both by Beer-Lambert attenuation at the elements' own densities
// (no escape-peak, dead-layer or air terms). Peak width: the semiconductor resolution law
// FWHM² = FWHM0² + 2.355² ε F (E - E0), with 2.355² ε F = 0.41268 eV, anchored at a measured
// reference width (G.F. Knoll, Radiation Detection and Measurement, ch. 13).
#include "calyx/Hardware.h"

#include <cmath>
#include <string>

#include <json/json.h>

#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr double kWidthSlopePerKeV = 412.68000000000006;  // eV² per keV of photon energy
constexpr double kWidthSlopePerEV = -0.41268000000000005;  // eV² per eV of reference energy
constexpr double kEVPerKeV = 1000.0;

// Numbers of the configuration pass through single precision before they are used.
double readFloat(const Json::Value& object, const char* key) {
  return static_cast<double>(object[key].asFloat());
}

}  // namespace

void DetectorHardware::addAirGap(double /*length*/) {}

double DetectorHardware::getGaussianWidthAtEnergy(double energyKeV) const {
  return std::sqrt(energyKeV * kWidthSlopePerKeV +
                   (measuredFWHM * measuredFWHM + measuredFWHMEnergy * kWidthSlopePerEV)) /
         kEVPerKeV;
}

double DetectorHardware::getDetectorEfficiencyFactor(double energyKeV) const {
  const double window = filterTransmission(windowZ, windowThickness, energyKeV);
  const double crystal = filterTransmission(Z, thickness, energyKeV);
  return window * (1.0 - crystal);
}

int HardwareConfig::readDetectorHardware(const Json::Value& value, DetectorHardware& out) {
  out.Z = value["Z"].asInt();
  out.thickness = readFloat(value, "thickness");
  out.windowZ = value["windowZ"].asInt();
  out.windowThickness = readFloat(value, "windowThickness");
  out.measuredFWHMEnergy = readFloat(value, "measuredFWHMEnergy");
  out.measuredFWHM = readFloat(value, "measuredFWHM");
  return 0;
}

int HardwareConfig::readTubeHardware(const Json::Value& value, TubeHardware& out) {
  out.anodeZ = value["anodeZ"].asInt();
  out.anodeThickness = readFloat(value, "anodeThickness");
  out.windowZ = value["windowZ"].asInt();
  out.windowThickness = readFloat(value, "windowThickness");
  out.takeoffAngle = Angle::createFromDegrees(readFloat(value, "takeoffAngle"));
  return 0;
}

int HardwareConfig::readFilter(const Json::Value& value, Filter& out) {
  const float thickness = value["thickness"].asFloat();
  const float density = value["density"].asFloat();
  const std::string formula = value["compound"].asString();
  // A formula that does not parse (or none) leaves the caller's filter as it was.
  compoundData* data = detail::xrl::compoundParser(formula.c_str());
  if (data == nullptr) return 0;
  const Compound compound(*data);
  detail::xrl::freeCompoundData(data);
  out = Filter::create(compound, static_cast<double>(thickness), static_cast<double>(density));
  return 0;
}

}  // namespace calyx
