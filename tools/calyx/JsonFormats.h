// The tool's JSON formats (see README, "File formats"):
//  - a rates file: per beam the scatter rate and the measured line rates;
//  - a standards file: named reference samples with their composition and rates;
//  - a composition: element symbol to mass fraction, as a file or as "Fe=0.7,Ni=0.3".
// Readers check syntax, JSON types, element symbols and line names, and throw InputError
// naming the file and member; whether a line belongs to the configuration is checked later
// (Instrument.h), where the configuration is known.
#ifndef CALYX_TOOL_JSONFORMATS_H
#define CALYX_TOOL_JSONFORMATS_H

#include <string>
#include <vector>

#include <json/json.h>

#include <calyx/Chemistry.h>
#include <calyx/XRFLine.h>

#include "FrontEnd.h"
#include "JsonFile.h"

namespace calyxtool {

struct LineRate {
  calyx::XRFLine line;
  double rate = 0.0;
  double uncertainty = 0.0;
  bool hasUncertainty = false;
  std::string where;  ///< "file: beams[0].lines[2]", for later messages
};

struct BeamRates {
  bool hasScatterRate = false;
  double scatterRate = 0.0;
  std::vector<LineRate> lines;
};

/// A rates file: {"sample": name?, "beams": [{"scatterRate": r?, "lines": [...]}, ...]}.
struct RatesRecord {
  std::string sample;
  std::vector<BeamRates> beams;  ///< position = beam index
};

/// One standard: {"name", "composition": {symbol: fraction}, "beams": [...]}.
struct StandardRecord {
  std::string name;
  calyx::Compound composition;
  std::vector<BeamRates> beams;
  std::vector<std::string> spectra;  ///< instead of beams: one spectrum file per beam
  std::string where;
};

RatesRecord readRatesFile(const std::string& path);
std::vector<StandardRecord> readStandardsFile(const std::string& path);

Json::Value ratesToJson(const RatesRecord& record);
Json::Value standardToJson(const StandardRecord& record);

/// The finite decimal number that is the whole of `text` (subnormals included); false for
/// anything else ("abc", "1x", "nan", "inf", "1e400").
bool parseFiniteNumber(const std::string& text, double& value);

/// A composition from `argument`: the path of a composition file when such a file exists,
/// else the text "Fe=0.7,Ni=0.3". `option` names the argument in messages. The fractions
/// must lie in [0, 1] and add up to 1 within 0.01.
calyx::Compound readComposition(const std::string& argument, const std::string& option);
/// {"Fe": 0.7, ...}, or an object whose "composition" member is one (a quantify result or
/// a standard record).
calyx::Compound compositionFromJson(const JsonNode& node);
Json::Value compositionToJson(const calyx::Compound& compound);
/// Symbols of the form "Fe=0.7,Ni=0.3" (for messages and names).
std::string compositionToText(const calyx::Compound& compound);

/// A line from its element symbol and its name ("KA") or xraylib code (-90).
calyx::XRFLine parseLine(const JsonNode& element, const JsonNode& line);
using calyxhost::lineLabel;

}  // namespace calyxtool

#endif  // CALYX_TOOL_JSONFORMATS_H
