// The engine's builder: the measurement set-up (tube, detector, geometry, beams) from
// setters or from the JSON configuration, and its assembly into one engine whose beams share
// one composition.
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
// xraylib's cross sections end below 1000 keV: above that every attenuation reads 0, and
// the 1 keV excitation grid of a runaway voltage (a corrupt configuration: 1e9 kV) would
// take gigabytes and minutes to build.
constexpr double kHighestTubeKeV = 1000.0;
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
      filters.push_back(filter);
    }
    beam.tubeFilters(filters);
  }

  CALYX_LOG_INFO("readBeam 3");
  if (value.isMember("allLines")) {
    for (const Json::Value& entry : value["allLines"]) {
      const char* symbol = entry.asCString();
      const Element element(symbol);
      if (element.atomicNumber() < 1) {
        CALYX_LOG_ERR("error reading symbol: {:s}", symbol);
        return 1;
      }
      beam.addAllLinesFromElement(element, false);
    }
  }

  CALYX_LOG_INFO("readBeam 4");
  if (value.isMember("lines")) {
    for (const Json::Value& entry : value["lines"]) {
      const Element element(entry[0].asCString());
      const Json::Value& name = entry[1];
      int code = 0;
      if (name.isInt()) {
        code = name.asInt();
      } else {
        const std::string text = name.asString();
        const auto known = lineSymbols.find(text);
        if (known == lineSymbols.end()) {
          CALYX_LOG_ERR("unknown line symbol: {:s}", text);
          continue;
        }
        code = known->second;
      }
      beam.addLine(XRFLine::create(element, code));
    }
  }

  CALYX_LOG_INFO("readBeam 5");
  if (value.isMember("LEElements"))
    for (const Json::Value& entry : value["LEElements"]) beam.addLEelement(Element(entry.asCString()));

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

  std::set<Element> elements;
  for (unsigned int i = 0; i < beams.size(); ++i) {
    const Beam& beam = beams[i];
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
    const std::shared_ptr<SpectrumBase<double>> excitation =
        beam.excitationEnergies.empty() ? creator.generateTotalSpectrum() : userExcitation(beam);

    Sherman::Builder model(engine->chemistry, excitation);
    model.takeOffAngle(takeOffAngle).incidenceAngle(incidenceAngle);
    model.photoabsorption(photoabsorption);
    for (const XRFLine& line : beam.lines) model.addXRFLine(line);
    const int status = model.create(engine->shermans[i]);
    if (status != 0) return status;

    for (Sherman::Line& line : engine->shermans[i].lines) engine->analysisLines.emplace_back(i, line);
    engine->leElements[i] = beam.leElements;
  }

  out = std::move(engine);
  return 0;
}

}  // namespace calyx
