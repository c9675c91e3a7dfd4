#include "JsonFormats.h"

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include <fmt/format.h>

#include "Error.h"

namespace calyxtool {

namespace {

// Fractions of a composition must add up to 1 within this much: the model uses them as
// given (its rates depend only on their ratios), so a larger gap is a typing error.
constexpr double kCompositionSumTolerance = 0.01;

calyx::Element parseSymbol(const std::string& symbol, const std::function<void(const std::string&)>& fail) {
  calyx::Element element(symbol.c_str());
  if (element.atomicNumber() < 1) fail("unknown element symbol \"" + symbol + "\"");
  return element;
}

void checkComposition(const calyx::Compound& compound, const std::function<void(const std::string&)>& fail) {
  if (compound.empty()) fail("the composition names no element");
  double sum = 0.0;
  for (const calyx::ElementChemistry& e : compound) sum += e.fraction;
  if (std::fabs(sum - 1.0) > kCompositionSumTolerance)
    fail(fmt::format("the mass fractions add up to {}, not 1 (within {})", sum, kCompositionSumTolerance));
}

void addFraction(calyx::Compound& compound, const std::string& symbol, double fraction,
                 const std::function<void(const std::string&)>& fail) {
  const calyx::Element element = parseSymbol(symbol, fail);
  if (!(fraction >= 0.0 && fraction <= 1.0))
    fail(fmt::format("the mass fraction of {} is {}, outside [0, 1]", symbol, fraction));
  if (!compound.insert(calyx::ElementChemistry(element, fraction, 0.0))) fail(symbol + " is given twice");
}

BeamRates readBeamRates(const JsonNode& beam) {
  beam.allowOnly({"scatterRate", "lines"});
  BeamRates out;
  if (beam.has("scatterRate")) {
    const JsonNode s = beam.member("scatterRate");
    out.scatterRate = s.number();
    if (out.scatterRate < 0) s.fail("a scatter rate cannot be negative");
    out.hasScatterRate = true;
  }
  if (!beam.has("lines")) return out;
  const JsonNode lines = beam.member("lines");
  lines.requireArray();
  std::set<calyx::XRFLine> seen;
  for (unsigned int i = 0; i < lines.size(); ++i) {
    const JsonNode entry = lines.element(i);
    entry.allowOnly({"element", "line", "rate", "uncertainty"});
    LineRate r;
    r.line = parseLine(entry.member("element"), entry.member("line"));
    r.rate = entry.member("rate").number();
    if (entry.has("uncertainty")) {
      const JsonNode u = entry.member("uncertainty");
      r.uncertainty = u.number();
      if (r.uncertainty < 0) u.fail("an uncertainty cannot be negative");
      r.hasUncertainty = true;
    }
    r.where = entry.file() + ": " + entry.path();
    if (!seen.insert(r.line).second) entry.fail(lineLabel(r.line) + " is listed twice in this beam");
    out.lines.push_back(r);
  }
  return out;
}

std::vector<BeamRates> readBeams(const JsonNode& parent) {
  const JsonNode beams = parent.member("beams");
  beams.requireArray();
  std::vector<BeamRates> out;
  for (unsigned int b = 0; b < beams.size(); ++b) out.push_back(readBeamRates(beams.element(b)));
  return out;
}

Json::Value beamsToJson(const std::vector<BeamRates>& beams) {
  Json::Value array(Json::arrayValue);
  for (const BeamRates& b : beams) {
    Json::Value beam(Json::objectValue);
    if (b.hasScatterRate) beam["scatterRate"] = b.scatterRate;
    Json::Value lines(Json::arrayValue);
    for (const LineRate& r : b.lines) {
      Json::Value entry(Json::objectValue);
      entry["element"] = calyx::printableSymbol(r.line.element());
      auto named = std::find_if(calyx::lineSymbols.begin(), calyx::lineSymbols.end(),
                                [&](const auto& kv) { return kv.second == r.line.line(); });
      if (named != calyx::lineSymbols.end())
        entry["line"] = named->first;
      else
        entry["line"] = r.line.line();
      entry["rate"] = r.rate;
      if (r.hasUncertainty) entry["uncertainty"] = r.uncertainty;
      lines.append(entry);
    }
    beam["lines"] = lines;
    array.append(beam);
  }
  return array;
}

}  // namespace

calyx::XRFLine parseLine(const JsonNode& element, const JsonNode& line) {
  const calyx::Element el = parseSymbol(element.string(), [&](const std::string& m) { element.fail(m); });
  int code = 0;
  if (line.value().isIntegral()) {
    code = line.integer();
    if (calyx::lineToShell.count(code) == 0) line.fail(fmt::format("unknown line code {}", code));
  } else if (line.value().isString()) {
    const std::string name = line.string();
    auto it = calyx::lineSymbols.find(name);
    if (it == calyx::lineSymbols.end())
      line.fail("unknown line \"" + name + "\" (expected KA, KB, LA, LB or an xraylib line code)");
    code = it->second;
  } else {
    line.fail("expected a line name or code, found " + jsonTypeName(line.value()));
  }
  const calyx::XRFLine made = calyx::XRFLine::create(el, code);
  if (!made.isValid()) line.fail(lineLabel(made) + " does not exist in xraylib's tables");
  return made;
}

RatesRecord readRatesFile(const std::string& path) {
  const Json::Value root = readJsonFile(path);
  const JsonNode node(root, path);
  node.requireObject();
  node.allowOnly({"sample", "beams"});
  RatesRecord record;
  if (node.has("sample")) record.sample = node.member("sample").string();
  record.beams = readBeams(node);
  if (record.beams.empty()) node.member("beams").fail("lists no beam");
  return record;
}

std::vector<StandardRecord> readStandardsFile(const std::string& path) {
  const Json::Value root = readJsonFile(path);
  const JsonNode node(root, path);
  node.requireObject();
  node.allowOnly({"standards"});
  const JsonNode list = node.member("standards");
  list.requireArray();
  if (list.size() == 0) list.fail("lists no standard");
  std::vector<StandardRecord> out;
  std::set<std::string> names;
  for (unsigned int i = 0; i < list.size(); ++i) {
    const JsonNode entry = list.element(i);
    entry.allowOnly({"name", "composition", "beams", "spectra"});
    StandardRecord s;
    const JsonNode name = entry.member("name");
    s.name = name.string();
    if (s.name.empty()) name.fail("a standard needs a name");
    if (!names.insert(s.name).second) name.fail("a second standard named \"" + s.name + "\"");
    s.composition = compositionFromJson(entry.member("composition"));
    // Measured as spectra: one file per beam (paths relative to the standards file), fitted
    // into rates once the configuration is known.
    if (entry.has("spectra") && !entry.has("beams")) {
      const JsonNode spectra = entry.member("spectra");
      spectra.requireArray();
      if (spectra.size() == 0) spectra.fail("lists no spectrum");
      const std::filesystem::path base = std::filesystem::path(path).parent_path();
      for (unsigned int k = 0; k < spectra.size(); ++k) {
        const std::filesystem::path p(spectra.element(k).string());
        s.spectra.push_back((p.is_absolute() ? p : base / p).string());
      }
    } else {
      s.beams = readBeams(entry);
    }
    s.where = path + ": " + entry.path() + " (\"" + s.name + "\")";
    out.push_back(std::move(s));
  }
  return out;
}

Json::Value ratesToJson(const RatesRecord& record) {
  Json::Value root(Json::objectValue);
  if (!record.sample.empty()) root["sample"] = record.sample;
  root["beams"] = beamsToJson(record.beams);
  return root;
}

Json::Value standardToJson(const StandardRecord& record) {
  Json::Value root(Json::objectValue);
  root["name"] = record.name;
  root["composition"] = compositionToJson(record.composition);
  root["beams"] = beamsToJson(record.beams);
  return root;
}

calyx::Compound compositionFromJson(const JsonNode& node) {
  node.requireObject();
  if (node.has("composition")) return compositionFromJson(node.member("composition"));
  calyx::Compound compound;
  for (const std::string& symbol : node.value().getMemberNames()) {
    const JsonNode fraction = node.member(symbol.c_str());
    addFraction(compound, symbol, fraction.number(), [&](const std::string& m) { fraction.fail(m); });
  }
  checkComposition(compound, [&](const std::string& m) { node.fail(m); });
  return compound;
}

bool parseFiniteNumber(const std::string& text, double& value) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  // An underflow (4e-320) reads as the nearest subnormal or 0 and stands; an overflow is
  // infinite and refused with "inf" and "nan".
  if (text.empty() || *end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

calyx::Compound readComposition(const std::string& argument, const std::string& option) {
  std::error_code ec;
  const bool isFile = std::filesystem::exists(argument, ec);
  if (isFile || argument.find('=') == std::string::npos) {
    const Json::Value root = readJsonFile(argument);
    return compositionFromJson(JsonNode(root, argument));
  }
  auto fail = [&](const std::string& m) { inputError(option + " " + argument, m); };
  calyx::Compound compound;
  std::size_t start = 0;
  while (start <= argument.size()) {
    std::size_t end = argument.find(',', start);
    if (end == std::string::npos) end = argument.size();
    std::string item = argument.substr(start, end - start);
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) fail("\"" + item + "\" is not of the form Symbol=fraction");
    auto trim = [](std::string s) {
      const auto b = s.find_first_not_of(" \t");
      const auto e = s.find_last_not_of(" \t");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    const std::string symbol = trim(item.substr(0, eq));
    const std::string number = trim(item.substr(eq + 1));
    double fraction = 0;
    if (!parseFiniteNumber(number, fraction)) fail("\"" + number + "\" is not a number (in \"" + item + "\")");
    addFraction(compound, symbol, fraction, fail);
    start = end + 1;
  }
  checkComposition(compound, fail);
  return compound;
}

Json::Value compositionToJson(const calyx::Compound& compound) {
  Json::Value out(Json::objectValue);
  for (const calyx::ElementChemistry& e : compound) out[calyx::printableSymbol(e.element)] = e.fraction;
  return out;
}

std::string compositionToText(const calyx::Compound& compound) {
  std::string out;
  for (const calyx::ElementChemistry& e : compound)
    out += fmt::format("{}{}={}", out.empty() ? "" : ",", calyx::printableSymbol(e.element), e.fraction);
  return out;
}

}  // namespace calyxtool
