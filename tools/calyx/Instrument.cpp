#include "Instrument.h"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <json/json.h>

#include <calyx/Filter.h>

#include "Error.h"
#include "FrontEnd.h"
#include "JsonFile.h"
#include "JsonFormats.h"
#include "LibraryLog.h"

namespace calyxtool {

namespace {

// Lists in the configuration may be arrays or objects (their values are taken).
std::vector<JsonNode> listEntries(const JsonNode& list) {
  if (!list.isArray() && !list.isObject())
    list.fail("expected an array, found " + jsonTypeName(list.value()));
  std::vector<JsonNode> out;
  if (list.isArray()) {
    for (unsigned int i = 0; i < list.size(); ++i) out.push_back(list.element(i));
  } else {
    for (const std::string& k : list.value().getMemberNames()) out.push_back(list.member(k.c_str()));
  }
  return out;
}

// The checks the library does not make itself: members of the wrong type, a voltage of 0 or
// below, negative filter layers, line codes xraylib does not know. Unknown element symbols and
// filter formulas that do not parse are the library's to refuse (readConfig logs which).
void prescanBeam(const JsonNode& beam) {
  beam.requireObject();
  const JsonNode tube = beam.member("tubeKeV");
  if (!(tube.number() > 0)) tube.fail("the tube voltage must be above 0 kV");
  if (beam.has("filters")) {
    for (const JsonNode& f : listEntries(beam.member("filters"))) {
      f.requireObject();
      f.member("compound").string();
      if (!(f.member("thickness").number() >= 0)) f.member("thickness").fail("a thickness cannot be negative");
      if (f.has("density") && !(f.member("density").number() >= 0)) f.member("density").fail("a density cannot be negative");
    }
  }
  if (beam.has("allLines"))
    for (const JsonNode& s : listEntries(beam.member("allLines"))) s.string();
  if (beam.has("lines")) {
    for (const JsonNode& entry : listEntries(beam.member("lines"))) {
      entry.requireArray();
      if (entry.size() != 2) entry.fail("a line is [symbol, name or code]");
      parseLine(entry.element(0), entry.element(1));
    }
  }
  if (beam.has("LEElements"))
    for (const JsonNode& s : listEntries(beam.member("LEElements"))) s.string();
  if (beam.has("LEEnergyKeV")) beam.member("LEEnergyKeV").number();
}

void prescanConfiguration(const JsonNode& root) {
  root.requireObject();
  root.member("detector").requireObject();
  root.member("tube").requireObject();
  const JsonNode beams = root.member("beams");
  const std::vector<JsonNode> entries = listEntries(beams);
  if (entries.empty()) beams.fail("lists no beam");
  for (const JsonNode& beam : entries) prescanBeam(beam);
}

// What the library does not refuse itself (it skips such entries with a warning): beams and
// lines the configuration lacks, more light-element values than beams. The library checks the
// factors' ranges before it applies any.
void checkCalibrationFile(const Instrument& instrument, const JsonNode& root) {
  root.requireObject();
  const JsonNode lines = root.member("lines");
  lines.requireArray();
  for (unsigned int i = 0; i < lines.size(); ++i) {
    const JsonNode entry = lines.element(i);
    entry.requireArray();
    if (entry.size() < 4 || entry.size() > 5)
      entry.fail("a calibration line is [beam, symbol, line, factor] or [beam, symbol, line, factor, guess factor]");
    const JsonNode beamNode = entry.element(0);
    const int beam = beamNode.integer();
    if (beam < 0 || static_cast<unsigned int>(beam) >= instrument.beamCount())
      beamNode.fail(fmt::format("beam {} is out of range: {} has {} beam(s)", beam, instrument.configPath,
                                instrument.beamCount()));
    const calyx::XRFLine line = parseLine(entry.element(1), entry.element(2));
    if (!instrument.engine->findLine(static_cast<unsigned int>(beam), line))
      entry.fail(fmt::format("{} is not analysed under beam {} by {}", lineLabel(line), beam, instrument.configPath));
    for (unsigned int k = 3; k < entry.size(); ++k) entry.element(k).number();
  }
  for (const char* key : {"LEFactors", "LEOffsets"}) {
    if (!root.has(key)) continue;
    const JsonNode list = root.member(key);
    list.requireArray();
    if (list.size() > instrument.beamCount())
      list.fail(fmt::format("{} values for {} beam(s) of {}", list.size(), instrument.beamCount(),
                            instrument.configPath));
    for (unsigned int b = 0; b < list.size(); ++b) list.element(b).number();
  }
}

// Runs one of the library's readers of `path` (status 0 on success): its errors, and the
// JsonCpp type errors and unknown line codes it lets through, become an input error of `path`.
template <typename Read>
void readThroughLibrary(const std::string& path, const char* what, Read read) {
  LibraryErrors errors;
  int status = 0;
  try {
    status = read();
  } catch (const Json::Exception& e) {
    inputError(path, "a value has the wrong JSON type (" + oneLine(e.what()) + ")");
  } catch (const std::out_of_range&) {
    inputError(path, "a line code the library does not know");
  }
  if (status != 0 || errors.any())
    inputError(path, errors.any() ? errors.text() : std::string("the library could not read the ") + what);
}

}  // namespace

void readConfiguration(const std::string& path, Instrument& out) {
  const Json::Value root = readJsonFile(path);
  prescanConfiguration(JsonNode(root, path));
  out.configPath = path;
  readThroughLibrary(path, "configuration", [&] { return out.builder.readConfig(root); });
}

void buildEngine(Instrument& instrument) {
  LibraryErrors errors;
  const int status = instrument.builder.create(instrument.engine);
  if (status != 0 || errors.any() || !instrument.engine)
    inputError(instrument.configPath,
               "the engine cannot be built: " + (errors.any() ? errors.text() : "the library reported a failure"));
}

bool hasScatterModel(const calyx::FPRateAlgorithm& engine, unsigned int beam) { return engine.hasScatterModel(beam); }

void requireScatterModel(const Instrument& instrument) {
  if (!hasScatterModel(*instrument.engine, 0))
    inputError(instrument.configPath, calyxhost::kNoScatterModel);
}

void loadCalibration(Instrument& instrument, const std::string& path) {
  const Json::Value root = readJsonFile(path);
  checkCalibrationFile(instrument, JsonNode(root, path));
  readThroughLibrary(path, "calibration", [&] { return instrument.engine->readCalibrationFile(path.c_str()); });
}

void requireModelledElements(const Instrument& instrument, const calyx::Compound& compound,
                             const std::string& where) {
  for (const calyx::ElementChemistry& e : compound)
    if (!instrument.engine->chemistry->hasElement(e.element))
      inputError(where, calyx::printableSymbol(e.element) + " is not among the elements of " + instrument.configPath);
}

calyx::FPRateAlgorithm::AnalysisLine& requireLine(Instrument& instrument, unsigned int beam,
                                                  const calyx::XRFLine& line, const std::string& where) {
  if (beam >= instrument.beamCount())
    throw InputError(fmt::format("{}: beam {} is out of range: {} has {} beam(s)", where, beam,
                                 instrument.configPath, instrument.beamCount()));
  calyx::FPRateAlgorithm::AnalysisLine* found = instrument.engine->findLine(beam, line);
  if (!found)
    throw InputError(fmt::format("{}: {} is not analysed under beam {} by {}", where, lineLabel(line), beam,
                                 instrument.configPath));
  return *found;
}

double rawScatterRate(const calyx::FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound) {
  return engine.scatterModelRate(compound, beam);
}

double predictedScatterRate(const calyx::FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound) {
  return engine.predictedScatterRate(compound, beam);
}

}  // namespace calyxtool
