// The calibration file: per analysis line its calibration factor (and, optionally, the
// initial-guess factor), and per beam the light-element factor and offset, as JSON:
//   {"lines": [[0, "Fe", "KA", 1.7], [1, "Pb", -90, 0.9, 2.0]], "LEFactors": [..], "LEOffsets": [..]}
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <json/json.h>

#include "calyx/FPRateAlgorithm.h"
#include "detail/Json.h"
#include "detail/Log.h"

namespace calyx {
namespace {

// Bounds of a stored value: a factor multiplies a model rate and an offset is a rate, so a
// value beyond 1e30 (no detector counts 1e30 photons a second) is a corrupt file, and its
// products would run towards overflow.
constexpr double kLargestValue = 1e30;

bool usableFactor(double v) { return v > 0.0 && v <= kLargestValue; }
bool usableOffset(double v) { return v >= -kLargestValue && v <= kLargestValue; }

// One "lines" entry, read and checked, to be applied once the whole file passed.
struct LineEntry {
  FPRateAlgorithm::AnalysisLine* target;
  double factor;
  double guess;
};

// Reads the list into `values`; false (with the error) at the first value out of bounds.
bool readBeamValues(const Json::Value& list, bool factors, std::vector<double>& values) {
  unsigned int i = 0;
  for (const Json::Value& value : list) {
    const double v = value.asDouble();
    if (factors && !usableFactor(v)) {
      CALYX_LOG_ERR("LEFactors[{:d}] out of range: {:g} (a light-element factor must lie in (0, 1e30])", i, v);
      return false;
    }
    if (!factors && !usableOffset(v)) {
      CALYX_LOG_ERR("LEOffsets[{:d}] out of range: {:g} (a light-element offset must lie within +-1e30)", i, v);
      return false;
    }
    values.push_back(v);
    ++i;
  }
  return true;
}

// Stores the values, in order, into the per-beam table; values beyond the table (a file
// written for an engine with more beams) are ignored with a warning.
void applyBeamValues(const std::vector<double>& values, std::vector<double>& table, bool factors) {
  const char* what = factors ? "factor" : "offset";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i >= table.size()) {
      CALYX_LOG_WARN("ignoring LE calibration {:s} {:d}: the configuration has {:d} beams", what, i, table.size());
    } else {
      CALYX_LOG_INFO("setting {:d} LE calibration {:s} ==> {:f}", i, what, values[i]);
      table[i] = values[i];
    }
  }
}

// The first value the file could not carry as a number (JSON has no NaN or infinity: JsonCpp
// would write null, read back as 0), described; empty when all are finite.
std::string nonFiniteValue(const FPRateAlgorithm& engine) {
  for (const FPRateAlgorithm::AnalysisLine& line : engine.analysisLines)
    if (!std::isfinite(line.calibrationFactor))
      return fmt::format("beam {:d} line [{:s}:{:.2f}] has the calibration factor {:g}", line.beam,
                         printableSymbol(line.line.element()), line.line.lineEnergyKeV(), line.calibrationFactor);
  for (std::size_t b = 0; b < engine.leCalibrationFactors.size(); ++b)
    if (!std::isfinite(engine.leCalibrationFactors[b]))
      return fmt::format("beam {:d} has the light-element factor {:g}", b, engine.leCalibrationFactors[b]);
  for (std::size_t b = 0; b < engine.leCalibrationOffsets.size(); ++b)
    if (!std::isfinite(engine.leCalibrationOffsets[b]))
      return fmt::format("beam {:d} has the light-element offset {:g}", b, engine.leCalibrationOffsets[b]);
  return std::string();
}

}  // namespace

int FPRateAlgorithm::writeCalibrationFile(const char* path) {
  Json::Value root;
  Json::Value lines;
  for (const AnalysisLine& line : analysisLines) {
    Json::Value entry(Json::arrayValue);
    entry.append(Json::Value(static_cast<Json::UInt>(line.beam)));
    entry.append(Json::Value(printableSymbol(line.line.element())));
    const std::string name = lineName(line.line.line());
    if (lineSymbols.count(name) != 0)
      entry.append(Json::Value(name));
    else
      entry.append(Json::Value(line.line.line()));
    entry.append(Json::Value(line.calibrationFactor));
    lines.append(entry);
  }
  Json::Value factors, offsets;
  for (double f : leCalibrationFactors) factors.append(Json::Value(f));
  for (double o : leCalibrationOffsets) offsets.append(Json::Value(o));
  root["lines"] = lines;
  root["LEFactors"] = factors;
  root["LEOffsets"] = offsets;

  if (path == nullptr) {
    CALYX_LOG_ERR("cannot write calibration file: no path given");
    return 1;
  }
  const std::string unwritable = nonFiniteValue(*this);
  if (!unwritable.empty()) {
    CALYX_LOG_ERR("cannot write calibration file {:s}: {:s}", path, unwritable);
    return 1;
  }

  // Write beside the target and rename over it, so that a failure part-way never leaves
  // a truncated file in place of the previous calibration.
  const std::string target = path;
  const std::string temporary = target + ".tmp" + std::to_string(::getpid());
  CALYX_LOG_INFO("write calibration file: {:s}", target);
  {
    std::ofstream out(temporary, std::ios::out | std::ios::trunc);
    if (!out) {
      CALYX_LOG_ERR("cannot write calibration file: {:s}", target);
      return 1;
    }
    Json::StyledStreamWriter writer(" ");
    writer.write(out, root);
    out.flush();
    if (!out) {
      out.close();
      std::remove(temporary.c_str());
      CALYX_LOG_ERR("cannot write calibration file: {:s}", target);
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    std::remove(temporary.c_str());
    CALYX_LOG_ERR("cannot write calibration file: {:s}", target);
    return 1;
  }
  return 0;
}

int FPRateAlgorithm::readCalibrationFile(const char* path) {
  if (path == nullptr) {
    CALYX_LOG_ERR("cannot read calibration file: no path given");
    return 1;
  }
  CALYX_LOG_INFO("reading calibration file: {:s}", path);
  std::ifstream in(path);
  Json::Value root;
  std::string errors;
  if (!detail::parseJson(in, root, errors)) {
    CALYX_LOG_ERR("e: {:s}", errors);
    return 1;
  }
  if (!root.isObject() || !root.isMember("lines")) {
    CALYX_LOG_ERR("no 'lines' element found");
    return 1;
  }
  // Everything is read and checked first: a file refused part-way changes nothing.
  std::vector<LineEntry> entries;
  unsigned int index = 0;
  for (Json::Value& entry : root["lines"]) {
    const unsigned int position = index++;
    const unsigned int beam = static_cast<unsigned int>(entry[0].asInt());
    const Element element(entry[1].asCString());
    int code;
    if (entry[2].isInt()) {
      code = entry[2].asInt();
    } else {
      const std::string name = entry[2].asString();
      auto found = lineSymbols.find(name);
      if (found == lineSymbols.end()) {
        CALYX_LOG_ERR("unknown line symbol: {:s}", name);
        continue;
      }
      code = found->second;
    }
    const double factor = entry[3].asDouble();
    const double guess = entry.size() >= 5 ? entry[4].asDouble() : 1.0;
    const XRFLine line = XRFLine::create(element, code);
    AnalysisLine* target = findLine(beam, line);
    if (target == nullptr) {
      CALYX_LOG_WARN("line not found: [{:3s}:{:d}]", printableSymbol(element), code);
      continue;
    }
    if (!usableFactor(factor) || !usableFactor(guess)) {
      CALYX_LOG_ERR("lines[{:d}] ({:s} {:s}, beam {:d}) out of range: factor {:g}, guess factor {:g} (each must lie "
                    "in (0, 1e30])",
                    position, printableSymbol(element), lineName(code), beam, factor, guess);
      return 1;
    }
    entries.push_back(LineEntry{target, factor, guess});
  }
  std::vector<double> leFactors, leOffsets;
  if (root.isMember("LEFactors") && !readBeamValues(root["LEFactors"], true, leFactors)) return 1;
  if (root.isMember("LEOffsets") && !readBeamValues(root["LEOffsets"], false, leOffsets)) return 1;

  for (const LineEntry& entry : entries) {
    CALYX_LOG_INFO("setting calibraion factor [{:3s}:{:.2f}] ==> {:f}", printableSymbol(entry.target->line.element()),
                   entry.target->line.lineEnergyKeV(), entry.factor);
    entry.target->calibrationFactor = entry.factor;
    entry.target->initialGuessFactor = entry.guess;
  }
  applyBeamValues(leFactors, leCalibrationFactors, true);
  applyBeamValues(leOffsets, leCalibrationOffsets, false);
  return 0;
}

}  // namespace calyx
