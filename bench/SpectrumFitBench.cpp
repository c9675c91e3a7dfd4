// Fitting one 2048-channel spectrum of beam 0 of the alloy example (30 line groups: the 26
// analysis lines, 6 other excited groups of their elements and 4 tube scatter peaks: 36 peak
// columns), 1e6 counts; and the same with the sum-peak column (its 10 sum peaks rebuilt before
// every solve).
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include "calyx/FPRateAlgorithm.h"
#include "calyx/Logger.h"
#include "calyx/SpectrumFit.h"

namespace {

void fitSpectrum(benchmark::State& state, bool pileUp) {
  using namespace calyx;
  getLogger()->set_level(spdlog::level::err);
  FPRateAlgorithm::Builder builder;
  std::unique_ptr<FPRateAlgorithm> engine;
  if (builder.readConfig(CALYX_EXAMPLES_DIR "/config/handheld-alloy.json") != 0 || builder.create(engine) != 0) {
    state.SkipWithError("engine");
    return;
  }
  Compound steel;
  for (const auto& e : {std::make_pair("Fe", 0.70), std::make_pair("Cr", 0.18), std::make_pair("Ni", 0.09),
                        std::make_pair("Mn", 0.015), std::make_pair("Mo", 0.01), std::make_pair("Cu", 0.005)})
    steel.set(ElementChemistry(Element(e.first), e.second, 0.0));
  engine->chemistry->setCompound(steel);
  for (Sherman& m : engine->shermans) m.computeRates();
  std::unique_ptr<SpectrumFit> fit;
  SpectrumFitOptions options;
  options.pileUp = pileUp;
  if (SpectrumFit::create(*engine, 0, builder.tube, options, fit) != 0) {
    state.SkipWithError("fit");
    return;
  }
  SyntheticSpectrumOptions o;
  o.channels = 2048;
  o.liveTimeSeconds = 0.65;  // about 1e6 counts
  o.noise = true;
  LinearSpectrum<double> spectrum;
  fit->synthesize(*engine, steel, o, spectrum);
  SpectrumFitResult result;
  for (auto _ : state) {
    if (fit->fit(spectrum, o.liveTimeSeconds, result) != 0) state.SkipWithError("fit failed");
    benchmark::DoNotOptimize(result.chiSquare);
  }
}
void BM_FitSpectrum2048Channels(benchmark::State& state) { fitSpectrum(state, false); }
void BM_FitSpectrum2048ChannelsWithSumPeaks(benchmark::State& state) { fitSpectrum(state, true); }
BENCHMARK(BM_FitSpectrum2048Channels)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FitSpectrum2048ChannelsWithSumPeaks)->Unit(benchmark::kMillisecond);

}  // namespace
