// The engine's builder: the measurement set-up (tube, detector, geometry, beams) from
// setters or from the JSON configuration, and its assembly into one engine whose beams share
// one composition.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "calyx/FPRateAlgorithm.h"
#include "calyx/TubeSpectrum.h"
#include "detail/Json.h"
#include "detail/Log.h"

namespace calyx {
namespace {

constexpr double kDefaultAngleDegrees = 45.0;
// The engine's excitation grid: 1 keV steps, so that point i lies at (i + 1) keV.
constexpr double kExcitationStepKeV = 1.0;
// Lines at or below this energy are absorbed before they reach the detector.
constexpr double kLowestLineEnergyKeV = 1.0;
// xraylib's total attenuation coefficients end at 800 keV (above, it gives 0, and the
// secondary fluorescence divides by it); a runaway voltage (a corrupt configuration: 1e9
// kV) would also ask for a 1 keV excitation grid of gigabytes.
constexpr double kHighestTubeKeV = 800.0;
// The light-element scatter model reads beam 0's tube intensity at this energy.
constexpr double kScatterIntensityKeV = 20.0;
// xraylib's cross sections and densities end at californium.
constexpr int kHighestZ = 98;
constexpr double kRightAngleDegrees = 90.0;
// Degrees read from the configuration pass through single precision and the conversion to
// radians; 90 must stay within the range.
constexpr double kAngleSlackDegrees = 1e-9;

// An angle of the geometry, in degrees, lies in (0, 90]: a beam that grazes the surface at 0
// never enters the sample nor leaves it.
bool physicalAngle(const Angle& angle) {
  const double degrees = angle.getDegrees();
  return degrees > 0.0 && degrees <= kRightAngleDegrees + kAngleSlackDegrees;
}

bool knownElement(int z) { return z >= 1 && z <= kHighestZ; }

// A window: none (thickness 0, any element), or a layer of a known element.
bool physicalWindow(int z, double thickness) {
  if (!(thickness >= 0.0) || !std::isfinite(thickness)) return false;
  return thickness == 0.0 ? z >= 0 && z <= kHighestZ : knownElement(z);
}

// The set-up's geometry and hardware, each value within what the physics can use: the
// message names the key and its value.
bool checkHardware(const FPRateAlgorithm::Builder& b) {
  if (!physicalAngle(b.takeOffAngle)) {
    CALYX_LOG_ERR("takeoffAngle out of range: {:g} degrees (must lie in (0, 90])", b.takeOffAngle.getDegrees());
    return false;
  }
  if (!physicalAngle(b.incidenceAngle)) {
    CALYX_LOG_ERR("incodenceAngle out of range: {:g} degrees (must lie in (0, 90])", b.incidenceAngle.getDegrees());
    return false;
  }
  const DetectorHardware& d = b.detector;
  if (!knownElement(d.Z)) {
    CALYX_LOG_ERR("detector Z out of range: {:d} (xraylib has data for 1 to {:d})", d.Z, kHighestZ);
    return false;
  }
  if (!(d.thickness > 0.0) || !std::isfinite(d.thickness)) {
    CALYX_LOG_ERR("detector thickness out of range: {:g} um (must be above 0)", d.thickness);
    return false;
  }
  if (!physicalWindow(d.windowZ, d.windowThickness)) {
    CALYX_LOG_ERR("detector window out of range: windowZ {:d}, windowThickness {:g} um (a thickness of 0 or "
                  "more, of an element 1 to {:d})",
                  d.windowZ, d.windowThickness, kHighestZ);
    return false;
  }
  const TubeHardware& t = b.tube;
  if (!knownElement(t.anodeZ)) {
    CALYX_LOG_ERR("tube anodeZ out of range: {:d} (xraylib has data for 1 to {:d})", t.anodeZ, kHighestZ);
    return false;
  }
  if (!physicalWindow(t.windowZ, t.windowThickness)) {
    CALYX_LOG_ERR("tube window out of range: windowZ {:d}, windowThickness {:g} um (a thickness of 0 or more, "
                  "of an element 1 to {:d})",
                  t.windowZ, t.windowThickness, kHighestZ);
    return false;
  }
  if (!physicalAngle(t.takeoffAngle)) {
    CALYX_LOG_ERR("tube takeoffAngle out of range: {:g} degrees (must lie in (0, 90])", t.takeoffAngle.getDegrees());
    return false;
  }
  return true;
}

// The detector must absorb something at the highest energy the engine reads it at (its
// highest line): a window that lets nothing through there, or a crystal too thin to stop
// anything, leaves every prediction 0.
bool checkDetectorSeesLines(const FPRateAlgorithm& engine) {
  double highest = 0.0;
  for (const FPRateAlgorithm::AnalysisLine& line : engine.analysisLines)
    highest = std::max(highest, line.line.lineEnergyKeV());
  if (highest == 0.0) return true;
  const double efficiency = engine.detector.getDetectorEfficiencyFactor(highest);
  if (efficiency > 0.0 && std::isfinite(efficiency)) return true;
  const DetectorHardware& d = engine.detector;
  CALYX_LOG_ERR("no photon reaches the detector: its efficiency at {:g} keV (the highest line) is {:g} (windowZ "
                "{:d}, windowThickness {:g} um, Z {:d}, thickness {:g} um)",
                highest, efficiency, d.windowZ, d.windowThickness, d.Z, d.thickness);
  return false;
}

// Every excitation value finite, and some photons in a beam that has something to excite.
bool checkExcitation(const SpectrumBase<double>& excitation, unsigned int beam, float tubeKeV, bool needed) {
  bool any = false;
  for (unsigned int j = 0; j < excitation.size(); ++j) {
    const double value = excitation.valueAt(j);
    if (!std::isfinite(value)) {
      CALYX_LOG_ERR("beam {:d} at {:g} kV: excitation at {:g} keV is {:g}", beam, tubeKeV, excitation.energyAt(j),
                    value);
      return false;
    }
    any = any || value > 0.0;
  }
  if (any || !needed) return true;
  CALYX_LOG_ERR("beam {:d} at {:g} kV: no photon reaches the sample (the excitation is 0 at every energy: tube "
                "window or filters opaque)",
                beam, tubeKeV);
  return false;
}

// The opt-in continuum step: finer than 0.01 keV resolves nothing the atomic data do not,
// coarser than 5 keV misses whole absorption edges.
constexpr double kFinestStepKeV = 0.01;
constexpr double kCoarsestStepKeV = 5.0;

bool positiveEnergy(double keV) { return keV > 0.0 && keV <= kHighestTubeKeV; }

// "excitation": {"monochromaticKeV": E} or {"energies": [...], "intensities": [...]}.
int readExcitation(const Json::Value& value, FPRateAlgorithm::Builder::Beam& beam) {
  if (!value.isObject()) {
    CALYX_LOG_ERR("'excitation' must be an object");
    return 1;
  }
  std::vector<double> energies;
  std::vector<double> intensities;
  if (value.isMember("monochromaticKeV")) {
    const Json::Value& energy = value["monochromaticKeV"];
    if (!energy.isNumeric() || !positiveEnergy(energy.asDouble())) {
      CALYX_LOG_ERR("'monochromaticKeV' must be an energy above 0 and at most {:g} keV", kHighestTubeKeV);
      return 1;
    }
    energies.push_back(energy.asDouble());
    intensities.push_back(1.0);
  } else {
    const Json::Value& e = value["energies"];
    const Json::Value& w = value["intensities"];
    if (!e.isArray() || !w.isArray() || e.size() == 0 || e.size() != w.size()) {
      CALYX_LOG_ERR("'excitation' needs 'monochromaticKeV', or 'energies' and 'intensities' of one length");
      return 1;
    }
    bool anyPositive = false;
    for (Json::ArrayIndex i = 0; i < e.size(); ++i) {
      if (!e[i].isNumeric() || !w[i].isNumeric()) {
        CALYX_LOG_ERR("'excitation' entry {:d} is not a number", i);
        return 1;
      }
      const double energy = e[i].asDouble();
      const double intensity = w[i].asDouble();
      if (!positiveEnergy(energy) || (i > 0 && !(energy > energies.back())) || !(intensity >= 0.0) ||
          !std::isfinite(intensity)) {
        CALYX_LOG_ERR("'excitation' entry {:d}: energies must rise strictly within (0, {:g}] keV, intensities be "
                      "finite and not negative ({:g} keV, {:g})",
                      i, kHighestTubeKeV, energy, intensity);
        return 1;
      }
      anyPositive = anyPositive || intensity > 0.0;
      energies.push_back(energy);
      intensities.push_back(intensity);
    }
    if (!anyPositive) {
      CALYX_LOG_ERR("'excitation' has no positive intensity");
      return 1;
    }
  }
  beam.excitationEnergies = energies;
  beam.excitationIntensities = intensities;
  return 0;
}

// The user's excitation table behind the beam's filters.
std::shared_ptr<SpectrumBase<double>> userExcitation(const FPRateAlgorithm::Builder::Beam& beam) {
  const auto n = static_cast<unsigned int>(beam.excitationEnergies.size());
  auto spectrum = std::make_shared<DiscreteSpectrum<double>>(n);
  for (unsigned int i = 0; i < n; ++i) {
    const double E = beam.excitationEnergies[i];
    spectrum->setEnergyAt(i, E);
    spectrum->setValueAt(i, beam.excitationIntensities[i] * Filter::getTransmissionCoef(E, beam.filters));
  }
  return spectrum;
}

// An element symbol of the configuration; false (with the error) for one the tables do not
// know. A value that is not a string throws JsonCpp's type error, as every reader here does.
bool readSymbol(const Json::Value& value, Element& out) {
  const char* symbol = value.asCString();
  const Element element(symbol);
  if (element.atomicNumber() < 1) {
    CALYX_LOG_ERR("error reading symbol: {:s}", symbol);
    return false;
  }
  out = element;
  return true;
}

}  // namespace

using Beam = FPRateAlgorithm::Builder::Beam;

Beam& Beam::addElement(const Element& element) {
  elements.insert(element);
  return *this;
}

Beam& Beam::addLEelement(const Element& element) {
  leElements.insert(element);
  return *this;
}

Beam& Beam::addLine(const XRFLine& line) {
  lines.insert(line);
  return *this;
}

Beam& Beam::addAllLinesFromElement(Element element, bool individual) {
  const double tube = static_cast<double>(tubeKeV);
  for (int code : individual ? individualLines : groupLines) {
    const XRFLine line = XRFLine::create(element, code);
    // Written so that a NaN energy or sensitivity fails every test.
    if (line.isValid() && lineSensitivity(line) > 0 && line.lineEnergyKeV() > kLowestLineEnergyKeV &&
        line.lineEnergyKeV() <= tube && line.edgeEnergyKeV() <= tube)
      lines.insert(line);
  }
  return *this;
}

Beam& Beam::setLEEnergyKeV(double keV) {
  leEnergyKeV = keV;
  return *this;
}

Beam& Beam::tubeFilters(const std::vector<Filter>& newFilters) {
  filters = newFilters;
  return *this;
}

int Beam::readBeam(const Json::Value& value, std::unique_ptr<Beam>& out) {
  CALYX_LOG_INFO("Inside readBeam");
  if (!value.isObject()) return 1;

  CALYX_LOG_INFO("readBeam 1");
  out.reset(new Beam(value["tubeKeV"].asFloat()));
  Beam& beam = *out;

  CALYX_LOG_INFO("readBeam 2");
  if (value.isMember("filters")) {
    std::vector<Filter> filters;
    for (const Json::Value& entry : value["filters"]) {
      Filter filter;
      const int status = HardwareConfig::readFilter(entry, filter);
      if (status != 0) return status;
      // The reader leaves a formula that does not parse out, silently; the beam would then
      // run unfiltered. (A formula that parses has at least one element.)
      if (filter.getCompound().empty()) {
        CALYX_LOG_ERR("cannot parse filter formula: {:s}", entry["compound"].asString());
        return 1;
      }
      filters.push_back(filter);
    }
    beam.tubeFilters(filters);
  }

  CALYX_LOG_INFO("readBeam 3");
  if (value.isMember("allLines")) {
    for (const Json::Value& entry : value["allLines"]) {
      Element element;
      if (!readSymbol(entry, element)) return 1;
      beam.addAllLinesFromElement(element, false);
    }
  }

  CALYX_LOG_INFO("readBeam 4");
  if (value.isMember("lines")) {
    for (const Json::Value& entry : value["lines"]) {
      Element element;
      if (!readSymbol(entry[0], element)) return 1;
      const Json::Value& name = entry[1];
      int code = 0;
      if (name.isInt()) {
        code = name.asInt();
      } else {
        const std::string text = name.asString();
        const auto known = lineSymbols.find(text);
        if (known == lineSymbols.end()) {
          CALYX_LOG_ERR("unknown line symbol: {:s}", text);
          return 1;
        }
        code = known->second;
      }
      beam.addLine(XRFLine::create(element, code));
    }
  }

  CALYX_LOG_INFO("readBeam 5");
  if (value.isMember("LEElements")) {
    for (const Json::Value& entry : value["LEElements"]) {
      Element element;
      if (!readSymbol(entry, element)) return 1;
      beam.addLEelement(element);
    }
  }

  CALYX_LOG_INFO("readBeam 6");
  if (value.isMember("LEEnergyKeV")) beam.setLEEnergyKeV(value["LEEnergyKeV"].asFloat());

  if (value.isMember("excitationStepKeV")) {
    const Json::Value& step = value["excitationStepKeV"];
    if (!step.isNumeric() || !(step.asDouble() >= kFinestStepKeV && step.asDouble() <= kCoarsestStepKeV)) {
      CALYX_LOG_ERR("'excitationStepKeV' must lie between {:g} and {:g} keV", kFinestStepKeV, kCoarsestStepKeV);
      return 1;
    }
    beam.excitationStepKeV = step.asDouble();
  }
  if (value.isMember("excitation")) {
    const int status = readExcitation(value["excitation"], beam);
    if (status != 0) return status;
  }

  CALYX_LOG_INFO("readBeam 7");
  return 0;
}

FPRateAlgorithm::Builder::Builder()
    : takeOffAngle(Angle::createFromDegrees(kDefaultAngleDegrees)),
      incidenceAngle(Angle::createFromDegrees(kDefaultAngleDegrees)) {}

FPRateAlgorithm::Builder& FPRateAlgorithm::Builder::detectorHardware(const DetectorHardware& value) {
  detector = value;
  return *this;
}

FPRateAlgorithm::Builder& FPRateAlgorithm::Builder::tubeHardware(const TubeHardware& value) {
  tube = value;
  return *this;
}

FPRateAlgorithm::Builder& FPRateAlgorithm::Builder::geometry(Angle takeOff, Angle incidence) {
  takeOffAngle = takeOff;
  incidenceAngle = incidence;
  return *this;
}

FPRateAlgorithm::Builder& FPRateAlgorithm::Builder::addBeam(const Beam& beam) {
  beams.push_back(beam);
  return *this;
}

int FPRateAlgorithm::Builder::readConfig(const char* path) {
  std::ifstream in;
  if (path != nullptr) in.open(path);
  Json::Value root;
  std::string errors;
  if (!detail::parseJson(in, root, errors)) {
    CALYX_LOG_ERR("e: {:s}", errors);
    return 1;
  }
  CALYX_LOG_INFO("About to call readConfig(Json::Value&)");
  const int status = readConfig(root);
  if (status != 0) {
    CALYX_LOG_ERR("error loading");
    return status;
  }
  return 0;
}

int FPRateAlgorithm::Builder::readConfig(const Json::Value& root) {
  CALYX_LOG_INFO("Inside readConfig(Json::Value&)");
  // A document that is not an object has no members; asking a JSON array or number for
  // one would throw instead.
  const bool isObject = root.isObject();

  if (!isObject || !root.isMember("detector")) {
    CALYX_LOG_ERR("no 'detector' element found");
    return 1;
  }
  DetectorHardware newDetector;
  int status = HardwareConfig::readDetectorHardware(root["detector"], newDetector);
  if (status != 0) return status;
  detector = newDetector;
  CALYX_LOG_INFO("readConfig 1");

  if (!root.isMember("tube")) {
    CALYX_LOG_ERR("no 'tube' element found");
    return 1;
  }
  TubeHardware newTube;
  status = HardwareConfig::readTubeHardware(root["tube"], newTube);
  if (status != 0) return status;
  tube = newTube;
  const Json::Value& tubeValue = root["tube"];
  if (tubeValue.isObject() && tubeValue.isMember("model")) {
    const std::string model = tubeValue["model"].isString() ? tubeValue["model"].asString() : "";
    if (model != "ebel" && model != "default") {
      CALYX_LOG_ERR("unknown tube model '{:s}' (known: default, ebel)", model);
      return 1;
    }
    ebelTube = model == "ebel";
  }
  if (tubeValue.isObject() && tubeValue.isMember("electronIncidence")) {
    const Json::Value& angle = tubeValue["electronIncidence"];
    if (!angle.isNumeric() || !(angle.asDouble() > 0.0 && angle.asDouble() <= 90.0)) {
      CALYX_LOG_ERR("'electronIncidence' must lie in (0, 90] degrees");
      return 1;
    }
    electronIncidence = Angle::createFromDegrees(angle.asDouble());
  }
  if (root.isMember("photoabsorption")) {
    const Json::Value& data = root["photoabsorption"];
    const std::string name = data.isString() ? data.asString() : "";
    if (name != "subshellSum" && name != "total") {
      CALYX_LOG_ERR("unknown photoabsorption data '{:s}' (known: total, subshellSum)", name);
      return 1;
    }
    photoabsorption = name == "subshellSum" ? Sherman::Photoabsorption::SubshellSum : Sherman::Photoabsorption::Total;
  }
  CALYX_LOG_INFO("readConfig 2");

  if (root.isMember("takeoffAngle") && root.isMember("incodenceAngle")) {
    takeOffAngle = Angle::createFromDegrees(root["takeoffAngle"].asFloat());
    incidenceAngle = Angle::createFromDegrees(root["incodenceAngle"].asFloat());
  }
  CALYX_LOG_INFO("readConfig 3");

  if (!root.isMember("beams")) {
    CALYX_LOG_ERR("no 'beams' element found");
    return 1;
  }
  for (const Json::Value& entry : root["beams"]) {
    CALYX_LOG_INFO("readBeam");
    std::unique_ptr<Beam> beam;
    status = Beam::readBeam(entry, beam);
    if (status != 0) return status;
    beams.push_back(*beam);
  }
  CALYX_LOG_INFO("readConfig 4");
  return 0;
}

int FPRateAlgorithm::Builder::create(std::unique_ptr<FPRateAlgorithm>& out) {
  std::unique_ptr<FPRateAlgorithm> engine(new FPRateAlgorithm());
  engine->detector = detector;
  // Sized once here: analysis lines point into the models' lines, so the vector of
  // models must never reallocate afterwards.
  engine->shermans.resize(beams.size());

  if (!checkHardware(*this)) return 1;
  bool anyLightElements = false;
  std::set<Element> elements;
  for (unsigned int i = 0; i < beams.size(); ++i) {
    const Beam& beam = beams[i];
    anyLightElements = anyLightElements || !beam.leElements.empty();
    if (!(static_cast<double>(beam.tubeKeV) <= kHighestTubeKeV)) {  // NaN too
      CALYX_LOG_ERR("tube voltage of beam {:d} out of range: {:g} kV (at most {:g})", i, beam.tubeKeV,
                    kHighestTubeKeV);
      return 1;
    }
    if (beam.leEnergyKeV < 0 && !beam.leElements.empty()) {
      CALYX_LOG_ERR("LE Energy not set");
      return 1;
    }
    for (const XRFLine& line : beam.lines) elements.insert(line.element());
    elements.insert(beam.elements.begin(), beam.elements.end());
    elements.insert(beam.leElements.begin(), beam.leElements.end());
    engine->leElements.emplace_back();
    engine->leRates.push_back(0.0);
    engine->leCalibrationFactors.push_back(1.0);
    engine->leCalibrationOffsets.push_back(0.0);
  }
  engine->chemistry = std::make_shared<Sherman::Chemistry>(elements);

  for (unsigned int i = 0; i < beams.size(); ++i) {
    const Beam& beam = beams[i];
    TubeSpectrumCreator creator;
    creator.setHardware(tube);
    creator.setFilters(beam.filters);
    creator.setVoltage(static_cast<double>(beam.tubeKeV));
    creator.setStepSize(kExcitationStepKeV);
    if (beam.excitationStepKeV > 0.0) {
      creator.setStepSize(beam.excitationStepKeV);
      creator.setIntegratedBins(true);
    }
    if (ebelTube) {
      creator.setModel(TubeSpectrumCreator::Model::Ebel);
      creator.setElectronIncidence(electronIncidence);
    }
    const bool userTable = !beam.excitationEnergies.empty();
    const std::shared_ptr<SpectrumBase<double>> excitation =
        userTable ? userExcitation(beam) : creator.generateTotalSpectrum();
    // A tube's spectrum is the continuum followed by the tube's lines; a user's table is all
    // continuum (the scatter model finds its 20 keV point there, if it has one).
    const unsigned int lineCount = userTable ? 0u : creator.generateDiscreteSpectrum().size();
    engine->continuumSizes_.push_back(excitation->size() >= lineCount ? excitation->size() - lineCount : 0);
    if (!checkExcitation(*excitation, i, beam.tubeKeV, !beam.lines.empty() || !beam.leElements.empty()))
      return 1;

    Sherman::Builder model(engine->chemistry, excitation);
    model.takeOffAngle(takeOffAngle).incidenceAngle(incidenceAngle);
    model.photoabsorption(photoabsorption);
    for (const XRFLine& line : beam.lines) model.addXRFLine(line);
    const int status = model.create(engine->shermans[i]);
    if (status != 0) return status;
    const std::string fault = engine->shermans[i].dataFault();
    if (!fault.empty()) {
      CALYX_LOG_ERR("beam {:d} at {:g} kV cannot be modelled: {:s}", i, beam.tubeKeV, fault);
      return 1;
    }
    if (i == 0 && anyLightElements && !engine->hasScatterModel(0)) {
      CALYX_LOG_ERR("beam 0 at {:g} kV cannot model the light elements' scatter: its tube gives no intensity at "
                    "{:g} keV, where the scatter model reads it (a tube voltage above {:g} kV is needed)",
                    beam.tubeKeV, kScatterIntensityKeV, kScatterIntensityKeV);
      return 1;
    }

    for (Sherman::Line& line : engine->shermans[i].lines) engine->analysisLines.emplace_back(i, line);
    engine->leElements[i] = beam.leElements;
  }
  if (!checkDetectorSeesLines(*engine)) return 1;

  out = std::move(engine);
  return 0;
}

}  // namespace calyx
