// Two engines, each used by its own thread at the same time (the library's thread rule: one
// caller thread per engine), give the bits that the same work gives one after the other.
// The work covers what a host does: build from a configuration, calibrate against
// standards, save and reload the calibration, quantify, with the library logging at info
// through its own sink all along.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "calyx/Calibration.h"
#include "calyx/FPRateAlgorithm.h"
#include "detail/LogSink.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"

namespace calyx {
namespace {

struct Outcome {
  std::vector<double> calibrationFactors;
  std::vector<double> leFactors, leOffsets;
  std::vector<std::vector<double>> compositions;  ///< per sample, the engine's fractions
};

Compound sample(const FPRateAlgorithm& engine, int variant) {
  // Every element of the engine, in unequal shares that differ between the samples.
  Compound c;
  const std::vector<Element>& elements = engine.chemistry->elements;
  double total = 0.0;
  for (std::size_t i = 0; i < elements.size(); ++i) total += 1.0 + static_cast<double>((i * 7 + variant * 3) % 11);
  for (std::size_t i = 0; i < elements.size(); ++i)
    c.set(ElementChemistry(elements[i], (1.0 + static_cast<double>((i * 7 + variant * 3) % 11)) / total, 0.0));
  return c;
}

// The engine's own predictions for `c`, as measured rates per line.
std::vector<double> predictedRates(FPRateAlgorithm& engine, const Compound& c) {
  engine.chemistry->setCompound(c);
  for (Sherman& model : engine.shermans) model.computeRates();
  std::vector<double> rates;
  for (const auto& line : engine.analysisLines)
    rates.push_back(*line.theoreticalRate * engine.detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV()));
  return rates;
}

Outcome work(const std::string& config, const std::string& scratch) {
  Outcome out;
  FPRateAlgorithm::Builder builder;
  std::unique_ptr<FPRateAlgorithm> engine;
  if (builder.readConfig((std::string(CALYX_EXAMPLES_DIR) + "/config/" + config).c_str()) != 0 ||
      builder.create(engine) != 0) {
    ADD_FAILURE() << "cannot build " << config;
    return out;
  }

  FPRateAlgorithm::Calibration calibration(*engine);
  calibration.setDebugFilePath(scratch + ".csv");
  for (int variant = 0; variant < 3; ++variant) {
    FPRateAlgorithm::Standard standard;
    standard.compound = sample(*engine, variant);
    const std::vector<double> rates = predictedRates(*engine, standard.compound);
    for (std::size_t i = 0; i < rates.size(); ++i)
      standard.rates[engine->analysisLines[i].key()] = (1.0 + 0.1 * variant) * rates[i];
    standard.leRate = 500.0 + 100.0 * variant;
    calibration.addStandard(standard);
  }
  calibration.computeCalibrationFactors();
  EXPECT_EQ(engine->writeCalibrationFile((scratch + ".json").c_str()), 0);
  EXPECT_EQ(engine->readCalibrationFile((scratch + ".json").c_str()), 0);
  for (const auto& line : engine->analysisLines) out.calibrationFactors.push_back(line.calibrationFactor);
  out.leFactors = engine->leCalibrationFactors;
  out.leOffsets = engine->leCalibrationOffsets;

  for (int variant = 3; variant < 5; ++variant) {
    std::vector<double> rates = predictedRates(*engine, sample(*engine, variant));
    engine->setAllLinesNotInUse();
    for (unsigned int beam = 0; beam < engine->shermans.size(); ++beam) {
      std::vector<XRFLine> lines;
      std::vector<double> beamRates;
      for (std::size_t i = 0; i < rates.size(); ++i)
        if (engine->analysisLines[i].beam == beam) {
          lines.push_back(engine->analysisLines[i].line);
          beamRates.push_back(rates[i]);
        }
      FPRateAlgorithm::RateMapper mapper(*engine, beam, lines);
      mapper.setRates<double>(800.0, beamRates.data(), nullptr);
    }
    engine->doInitialGuess(0);
    for (int pass = 0; pass < 20; ++pass) engine->process(static_cast<int>(engine->shermans.size()) - 1);
    out.compositions.push_back(engine->chemistry->fractions);
  }
  std::remove((scratch + ".csv").c_str());
  std::remove((scratch + ".json").c_str());
  return out;
}

void expectSameBits(const Outcome& a, const Outcome& b, const std::string& what) {
  EXPECT_EQ(a.calibrationFactors, b.calibrationFactors) << what;
  EXPECT_EQ(a.leFactors, b.leFactors) << what;
  EXPECT_EQ(a.leOffsets, b.leOffsets) << what;
  EXPECT_EQ(a.compositions, b.compositions) << what;
}

int discardLogWrite(int, const char*, const char*) { return 1; }

// The library's own sink, writing nowhere, at info level: every pass's trace is formatted
// by both threads at once.
class QuietLibrarySink : testing::LoggerState {
 public:
  QuietLibrarySink() {
    getLogger()->sinks() = {std::make_shared<detail::SystemLogSink>(detail::kLogTag, &discardLogWrite)};
    getLogger()->set_level(spdlog::level::info);
  }
};

TEST(ConcurrencyTest, TwoEnginesOnTwoThreadsAtOnceGiveTheBitsOfTheSameWorkOneAfterTheOther) {
  QuietLibrarySink quiet;
  const testing::ScratchDir dir;
  const std::string scratch = dir.path("work");
  const std::pair<const char*, const char*> pairs[] = {{"handheld-alloy.json", "handheld-oxide.json"},
                                                       {"handheld-oxide.json", "handheld-oxide.json"}};
  for (const auto& pair : pairs) {
    const Outcome first = work(pair.first, scratch + "_a");
    const Outcome second = work(pair.second, scratch + "_b");
    ASSERT_EQ(first.compositions.size(), 2u);
    ASSERT_FALSE(first.calibrationFactors.empty());

    Outcome together[2];
    std::thread a([&] { together[0] = work(pair.first, scratch + "_a"); });
    std::thread b([&] { together[1] = work(pair.second, scratch + "_b"); });
    a.join();
    b.join();
    const std::string what = std::string(pair.first) + " with " + pair.second;
    expectSameBits(together[0], first, what + ", first engine");
    expectSameBits(together[1], second, what + ", second engine");
  }
}

}  // namespace
}  // namespace calyx
