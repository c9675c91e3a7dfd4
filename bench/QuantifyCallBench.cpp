// The C++ side of the Python binding's overhead: one quantification of a bundled unknown
// (examples/data/alloy/unknowns/stainless-316l) exactly as calyx.Engine.quantify runs it
// behind the GIL (the host's checks, then the tool's pass loop), without Python. The
// calibration is the file named by CALYX_BENCH_CALIBRATION, or none (every factor 1);
// bench/python_overhead.py times the Python call on the same data and runs this.
#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <json/json.h>

#include "Core.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Logger.h"

namespace calyx {
namespace {

calyxpy::Measurement readRates(const std::string& path) {
  std::ifstream in(path);
  Json::CharReaderBuilder reader;
  Json::Value root;
  std::string errors;
  if (!Json::parseFromStream(reader, in, &root, &errors)) std::abort();
  calyxpy::Measurement m;
  for (const Json::Value& b : root["beams"]) {
    calyxpy::BeamMeasurement beam;
    beam.hasScatter = b.isMember("scatterRate");
    beam.scatter = b.get("scatterRate", 0.0).asDouble();
    for (const Json::Value& l : b["lines"]) {
      beam.lines.push_back(XRFLine::create(Element(l["element"].asString()), lineSymbols.at(l["line"].asString())));
      beam.rates.push_back(l["rate"].asDouble());
      beam.uncertainties.push_back(l.get("uncertainty", 0.0).asDouble());
    }
    m.beams.push_back(beam);
  }
  return m;
}

void quantifyUnknownAsBound(benchmark::State& state) {
  getLogger()->set_level(spdlog::level::warn);
  const std::string examples = CALYX_EXAMPLES_DIR;
  FPRateAlgorithm::Builder builder;
  std::unique_ptr<FPRateAlgorithm> engine;
  if (builder.readConfig((examples + "/config/handheld-alloy.json").c_str()) != 0 || builder.create(engine) != 0)
    std::abort();
  if (const char* calibration = std::getenv("CALYX_BENCH_CALIBRATION"))
    if (engine->readCalibrationFile(calibration) != 0) std::abort();
  const calyxpy::Measurement m = readRates(examples + "/data/alloy/unknowns/stainless-316l.rates.json");
  calyxpy::QuantifyResult result;
  for (auto _ : state) {
    if (!calyxpy::checkMeasurement(*engine, m).empty()) std::abort();
    result = calyxpy::quantify(*engine, m, calyxpy::QuantifyOptions());
    benchmark::DoNotOptimize(result.composition.size());
  }
  state.counters["passes"] = result.outcome.passes;
}

BENCHMARK(quantifyUnknownAsBound)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace calyx
