// Benchmarks of the Sherman rate computation: the tabulated computeRates() on one and two
// threads, and the plain evaluation of the rate equation it must match bit for bit.
//
//   small: about 20 lines, Rh tube at 40 kV on a 1 keV grid (44 points)
//   large: about 40 lines, Rh tube at 50 kV on a 0.05 keV grid (1004 points)
#include <benchmark/benchmark.h>
#include <omp.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "support/HardwareFixtures.h"
#include "support/ReferenceRates.h"
#include "calyx/Filter.h"
#include "calyx/Logger.h"
#include "calyx/Sherman.h"
#include "calyx/TubeSpectrum.h"

namespace calyx {
namespace {

struct BenchModel {
  std::shared_ptr<Sherman::Chemistry> chemistry;
  Sherman model;
};

std::shared_ptr<SpectrumBase<double>> rhodiumTube(double kV, double stepKeV) {
  TubeSpectrumCreator creator;
  creator.setHardware(testing::rhodiumTube());
  creator.setFilters({Filter::create(Element("Al"), 100.0, 2.7)});
  creator.setVoltage(kV);
  creator.setStepSize(stepKeV);
  return creator.generateTotalSpectrum();
}

// Every group line of the elements that the beam excites, in a sample with all of them.
std::unique_ptr<BenchModel> makeModel(const std::vector<int>& elements, double kV, double stepKeV) {
  std::set<Element> set;
  for (int Z : elements) set.insert(Element(Z));
  auto bench = std::make_unique<BenchModel>();
  bench->chemistry = std::make_shared<Sherman::Chemistry>(set);
  for (int Z : elements)
    bench->chemistry->set(Element(Z), 1.0 / static_cast<double>(elements.size()), 0.0);
  Sherman::Builder builder(bench->chemistry, rhodiumTube(kV, stepKeV));
  builder.incidenceAngle(Angle::createFromDegrees(60.0)).takeOffAngle(Angle::createFromDegrees(45.0));
  for (int Z : elements) builder.addAllLinesFromElement(Element(Z), false);
  if (builder.create(bench->model) != 0) std::abort();
  return bench;
}

// Alloy elements: K lines of the transition metals, K and L lines of the heavier ones.
std::unique_ptr<BenchModel> smallModel() {
  return makeModel({24, 26, 28, 29, 30, 82}, 40.0, 1.0);
}

std::unique_ptr<BenchModel> largeModel() {
  return makeModel({22, 24, 25, 26, 28, 29, 30, 40, 42, 74, 82}, 50.0, 0.05);
}

void computeRates(benchmark::State& state, std::unique_ptr<BenchModel> (*make)()) {
  getLogger()->set_level(spdlog::level::warn);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  auto bench = make();
  for (auto _ : state) {
    bench->model.computeRates();
    benchmark::DoNotOptimize(bench->model.lines.front().rate);
  }
  state.counters["lines"] = static_cast<double>(bench->model.lines.size());
  state.counters["points"] = bench->model.binCount();
  omp_set_num_threads(saved);
}

void referenceRates(benchmark::State& state, std::unique_ptr<BenchModel> (*make)()) {
  getLogger()->set_level(spdlog::level::warn);
  auto bench = make();
  for (auto _ : state) {
    detail::ReferenceRates r = detail::referenceRates(bench->model);
    benchmark::DoNotOptimize(r.rates.data());
  }
  state.counters["lines"] = static_cast<double>(bench->model.lines.size());
  state.counters["points"] = bench->model.binCount();
}

BENCHMARK_CAPTURE(computeRates, small, smallModel)
    ->ArgName("threads")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(computeRates, large, largeModel)
    ->ArgName("threads")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(referenceRates, small, smallModel)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(referenceRates, large, largeModel)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calyx
