#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "calyx/Filter.h"
#include "calyx/Sherman.h"
#include "support/ReferenceRates.h"
#include "calyx/TubeSpectrum.h"
#include "support/HardwareFixtures.h"
#include "support/LogCapture.h"
#include "support/ShermanReference.h"

namespace calyx {
namespace {

using testing::ReferenceLine;
using testing::referenceRates;
using testing::referenceSensitivity;
using testing::referenceShell;

constexpr double kRelTol = 1e-12;  // the same formula on the same xraylib data

using Composition = std::map<int, double>;  // atomic number -> mass fraction
using LineCodes = std::vector<std::pair<int, int>>;  // (atomic number, line code)

// A smooth bremsstrahlung-like continuum on a 1 keV grid (1 to 40 keV) followed by two
// characteristic lines, as a tube spectrum is laid out.
std::shared_ptr<SpectrumBase<double>> syntheticExcitation() {
  auto continuum = std::make_shared<LinearSpectrum<double>>(0.0, 40.0, 1.0);
  for (unsigned int i = 0; i < continuum->size(); ++i) {
    const double E = continuum->energyAt(i);
    (*continuum)[i] = 1.0e4 * E * std::exp(-E / 12.0) * (40.0 - E) / 40.0 + 50.0;
  }
  auto tubeLines = std::make_shared<DiscreteSpectrum<double>>(2u);
  tubeLines->setEnergyAt(0, 20.2);
  tubeLines->setValueAt(0, 3.0e5);
  tubeLines->setEnergyAt(1, 22.7);
  tubeLines->setValueAt(1, 6.0e4);
  std::shared_ptr<SpectrumBase<double>> first = continuum;
  std::shared_ptr<SpectrumBase<double>> second = tubeLines;
  return spectrumConcat(first, second);
}

std::shared_ptr<SpectrumBase<double>> discrete(const std::vector<double>& energies) {
  auto s = std::make_shared<DiscreteSpectrum<double>>(static_cast<unsigned int>(energies.size()));
  for (unsigned int i = 0; i < energies.size(); ++i) {
    s->setEnergyAt(i, energies[i]);
    s->setValueAt(i, 1000.0 * (i + 1));
  }
  return s;
}

struct Model {
  std::shared_ptr<Sherman::Chemistry> chemistry;
  std::unique_ptr<Sherman> sherman;
};

Model build(const Composition& composition, const LineCodes& codes,
            const std::shared_ptr<SpectrumBase<double>>& excitation, double incidenceDegrees = 45.0,
            double takeOffDegrees = 45.0) {
  std::set<Element> elements;
  for (const auto& entry : composition) elements.insert(Element(entry.first));
  Model m{std::make_shared<Sherman::Chemistry>(elements), std::make_unique<Sherman>()};
  for (const auto& entry : composition) m.chemistry->set(Element(entry.first), entry.second, 0.0);
  Sherman::Builder builder(m.chemistry, excitation);
  builder.incidenceAngle(Angle::createFromDegrees(incidenceDegrees))
      .takeOffAngle(Angle::createFromDegrees(takeOffDegrees));
  for (const auto& code : codes) builder.addXRFLine(XRFLine::create(Element(code.first), code.second));
  EXPECT_EQ(builder.create(*m.sherman), 0);
  EXPECT_EQ(m.sherman->lines.size(), codes.size());
  return m;
}

std::vector<double> ratesOf(const Sherman& model) {
  std::vector<double> rates;
  for (const Sherman::Line& line : model.lines) rates.push_back(line.rate);
  return rates;
}

// The reference lines in the model's order (ascending Z, then code).
std::vector<ReferenceLine> referenceLinesOf(const Sherman& model) {
  std::vector<ReferenceLine> lines;
  for (const Sherman::Line& line : model.lines)
    lines.push_back({line.line.element().atomicNumber(), line.line.line(),
                     referenceShell(line.line.line())});
  return lines;
}

// Primary fluorescence alone: c S Σ_{E_j > B} τ(E_j) I_j / (μs(E_j)/sin ψin + μs(L)/sin ψout).
double primaryOnly(int Z, int code, const Composition& composition,
                   const SpectrumBase<double>& excitation, double sinIn, double sinOut) {
  auto mu = [&composition](double E) {
    double sum = 0.0;
    for (const auto& entry : composition) sum += entry.second * CS_Total(entry.first, E, nullptr);
    return sum;
  };
  const int shell = referenceShell(code);
  const double L = LineEnergy(Z, code, nullptr);
  const double B = EdgeEnergy(Z, shell, nullptr);
  double sum = 0.0;
  for (unsigned int j = 0; j < excitation.size(); ++j) {
    const double E = excitation.energyAt(j);
    if (E > B) sum += CS_Photo(Z, E, nullptr) * excitation.valueAt(j) / (mu(E) / sinIn + mu(L) / sinOut);
  }
  return composition.at(Z) * referenceSensitivity(Z, code, shell) * sum;
}

const double kSin45 = std::sqrt(2.0) / 2.0;

TEST(ShermanRatesTest, SingleElementLineFollowsThePrimaryClosedForm) {
  auto excitation = syntheticExcitation();
  const Composition iron = {{26, 0.8}};  // not normalised: the rate is of degree zero in c
  Model m = build(iron, {{26, KA_LINE}}, excitation);
  EXPECT_EQ(m.sherman->computeRates(), 0);
  const double expected = primaryOnly(26, KA_LINE, iron, *excitation, kSin45, kSin45);
  ASSERT_GT(expected, 0.0);
  EXPECT_NEAR(m.sherman->lines[0].rate, expected, kRelTol * expected);
  EXPECT_EQ(m.sherman->lineAttenuation()[0],
            0.8 * CS_Total(26, LineEnergy(26, KA_LINE, nullptr), nullptr));
  EXPECT_EQ(m.sherman->binAttenuation()[40], 0.8 * CS_Total(26, 20.2, nullptr));
}

TEST(ShermanRatesTest, IronKIsEnhancedByNickelOrCopperButNotTheOtherWay) {
  auto excitation = syntheticExcitation();
  for (int enhancerZ : {28, 29}) {
    const Composition alloy = {{26, 0.6}, {enhancerZ, 0.4}};
    Model m = build(alloy, {{26, KA_LINE}, {enhancerZ, KA_LINE}, {enhancerZ, KB_LINE}}, excitation);
    m.sherman->computeRates();
    const double ironPrimary = primaryOnly(26, KA_LINE, alloy, *excitation, kSin45, kSin45);
    const double ironRate = m.sherman->lines[0].rate;
    EXPECT_GT(ironRate, 1.05 * ironPrimary) << "Z=" << enhancerZ;  // a strong effect
    const std::vector<double> reference =
        referenceRates(referenceLinesOf(*m.sherman), alloy, *excitation, M_PI / 4, M_PI / 4);
    EXPECT_NEAR(ironRate, reference[0], kRelTol * reference[0]);
    for (int l = 1; l <= 2; ++l) {
      const double enhancerPrimary =
          primaryOnly(enhancerZ, m.sherman->lines[l].line.line(), alloy, *excitation, kSin45, kSin45);
      EXPECT_NEAR(m.sherman->lines[l].rate, enhancerPrimary, kRelTol * enhancerPrimary)
          << "Z=" << enhancerZ << " line " << l;
    }
  }
}

TEST(ShermanRatesTest, EnhancerAtZeroFractionEnhancesNothingAndHasNoRate) {
  auto excitation = syntheticExcitation();
  Model alloy = build({{26, 0.6}, {28, 0.4}}, {{26, KA_LINE}, {28, KA_LINE}}, excitation);
  alloy.chemistry->set(Element(28), 0.0, 0.0);
  alloy.sherman->computeRates();
  Model pure = build({{26, 0.6}}, {{26, KA_LINE}}, excitation);
  pure.sherman->computeRates();
  EXPECT_EQ(alloy.sherman->lines[1].rate, 0.0);
  EXPECT_EQ(alloy.sherman->lines[0].rate, pure.sherman->lines[0].rate);
}

TEST(ShermanRatesTest, PointExactlyAtAnEdgeExcitesNeitherThatShellNorItsLineAsEnhancer) {
  const Composition alloy = {{26, 0.6}, {28, 0.4}};
  const LineCodes codes = {{26, KA_LINE}, {28, KA_LINE}};
  {
    auto atNickelEdge = discrete({EdgeEnergy(28, K_SHELL, nullptr)});
    Model m = build(alloy, codes, atNickelEdge);
    m.sherman->computeRates();
    EXPECT_EQ(m.sherman->lines[1].rate, 0.0);
    // Iron is excited, but nickel is not ionised, so there is no enhancement.
    const double ironPrimary = primaryOnly(26, KA_LINE, alloy, *atNickelEdge, kSin45, kSin45);
    ASSERT_GT(ironPrimary, 0.0);
    EXPECT_NEAR(m.sherman->lines[0].rate, ironPrimary, kRelTol * ironPrimary);
  }
  {
    Model m = build(alloy, codes, discrete({EdgeEnergy(26, K_SHELL, nullptr), 5.0}));
    m.sherman->computeRates();
    EXPECT_EQ(m.sherman->lines[0].rate, 0.0);
    EXPECT_EQ(m.sherman->lines[1].rate, 0.0);
  }
}

TEST(ShermanRatesTest, ModelWithoutPointsOrLinesGivesZeroOrNothing) {
  Model empty = build({{26, 1.0}}, {{26, KA_LINE}}, discrete({}));
  EXPECT_EQ(empty.sherman->computeRates(), 0);
  EXPECT_EQ(empty.sherman->lines[0].rate, 0.0);
  Model noLines = build({{26, 1.0}}, {}, syntheticExcitation());
  EXPECT_EQ(noLines.sherman->computeRates(), 0);
  EXPECT_EQ(noLines.sherman->binAttenuation().size(), 42u);
  Sherman unbuilt;
  EXPECT_EQ(unbuilt.computeRates(), 0);
  EXPECT_TRUE(unbuilt.binAttenuation().empty());
}

// Realistic samples, each with lines that enhance one another.
struct Sample {
  const char* name;
  Composition composition;
  LineCodes codes;
};

std::vector<Sample> realisticSamples() {
  return {
      {"pure iron", {{26, 1.0}}, {{26, KA_LINE}, {26, KB_LINE}, {26, LA_LINE}, {26, LB_LINE}}},
      {"Fe-Ni alloy",
       {{26, 0.64}, {28, 0.36}},
       {{26, KA_LINE}, {26, KB_LINE}, {28, KA_LINE}, {28, KB_LINE}, {28, LA_LINE}}},
      {"stainless steel",
       {{24, 0.18}, {25, 0.02}, {26, 0.68}, {28, 0.10}, {42, 0.02}},
       {{24, KA_LINE}, {24, KB_LINE}, {25, KA_LINE}, {25, KB_LINE}, {26, KL3_LINE},
        {26, KL2_LINE}, {26, KM3_LINE}, {28, KA_LINE}, {28, KB_LINE}, {42, KA_LINE},
        {42, KB_LINE}, {42, LA_LINE}}},
      {"brass with lead",
       {{29, 0.60}, {30, 0.37}, {82, 0.03}},
       {{29, KA_LINE}, {29, KB_LINE}, {30, KA_LINE}, {30, KB_LINE}, {82, LA_LINE}, {82, LB_LINE},
        {82, L3M5_LINE}, {82, M5N7_LINE}}},
      {"oxide rock",  // sums to 0.95: the model does not normalise
       {{8, 0.47}, {13, 0.08}, {14, 0.28}, {19, 0.03}, {20, 0.04}, {26, 0.05}},
       {{8, KA_LINE}, {13, KA_LINE}, {13, KB_LINE}, {14, KA_LINE}, {14, KB_LINE}, {19, KA_LINE},
        {19, KB_LINE}, {20, KA_LINE}, {20, KB_LINE}, {26, KA_LINE}, {26, KB_LINE}}},
  };
}

TEST(ShermanRatesTest, RealisticSamplesAgreeWithAPlainEvaluationOfTheRateEquation) {
  auto excitation = syntheticExcitation();
  const std::pair<double, double> geometries[] = {{45.0, 45.0}, {62.0, 38.0}};
  for (const Sample& sample : realisticSamples()) {
    for (const auto& geometry : geometries) {
      Model m = build(sample.composition, sample.codes, excitation, geometry.first, geometry.second);
      m.sherman->computeRates();
      const std::vector<double> expected =
          referenceRates(referenceLinesOf(*m.sherman), sample.composition, *excitation,
                         geometry.first * M_PI / 180.0, geometry.second * M_PI / 180.0);
      for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_GT(expected[i], 0.0) << sample.name << " line " << i;
        EXPECT_NEAR(m.sherman->lines[i].rate, expected[i], kRelTol * expected[i])
            << sample.name << " line " << i << " angles " << geometry.first << "/"
            << geometry.second;
      }
    }
  }
}

// The excitation the engine uses: a tube spectrum on a 1 keV grid with the anode's lines.
std::shared_ptr<SpectrumBase<double>> tubeExcitation(int anodeZ, double kV,
                                                     const std::vector<Filter>& filters,
                                                     double stepKeV = 1.0) {
  TubeSpectrumCreator creator;
  creator.setHardware(testing::berylliumWindowTube(anodeZ, 125.0, 20.0));
  creator.setFilters(filters);
  creator.setVoltage(kV);
  creator.setStepSize(stepKeV);
  return creator.generateTotalSpectrum();
}

TEST(ShermanRatesTest, RealisticSamplesAgreeWithAPlainEvaluationUnderTubeSpectra) {
  Compound brass;
  brass.set({Element("Cu"), 0.6, 0.0});
  brass.set({Element("Zn"), 0.4, 0.0});
  const std::vector<std::pair<const char*, std::vector<Filter>>> filterSets = {
      {"none", {}},
      {"Al 100 um", {Filter::create(Element("Al"), 100.0, 0.0)}},
      {"Ti 25 um + brass 10 um",
       {Filter::create(Element("Ti"), 25.0, 0.0), Filter::create(brass, 10.0, 8.5)}},
  };
  int positiveRates = 0;
  for (int anode : {45, 74, 47}) {  // Rh, W, Ag
    for (double kV : {10.0, 20.0, 35.0, 50.0}) {
      for (const auto& filterSet : filterSets) {
        const auto excitation = tubeExcitation(anode, kV, filterSet.second);
        for (const Sample& sample : realisticSamples()) {
          Model m = build(sample.composition, sample.codes, excitation, 60.0, 40.0);
          m.sherman->computeRates();
          const std::vector<double> expected =
              referenceRates(referenceLinesOf(*m.sherman), sample.composition, *excitation,
                             60.0 * M_PI / 180.0, 40.0 * M_PI / 180.0);
          for (std::size_t i = 0; i < expected.size(); ++i) {
            const double rate = m.sherman->lines[i].rate;
            ASSERT_TRUE(std::isfinite(expected[i]));
            EXPECT_NEAR(rate, expected[i], kRelTol * expected[i])
                << sample.name << " line " << i << " anode Z=" << anode << " " << kV << " kV, "
                << filterSet.first;
            positiveRates += rate > 0.0 ? 1 : 0;
          }
        }
      }
    }
  }
  EXPECT_GT(positiveRates, 1300);  // of 1440: the comparison is not one of zeros
}

TEST(ShermanRatesTest, SecondaryTermMatchesTheEnhancementFormula) {
  auto excitation = syntheticExcitation();
  const Composition brass = {{29, 0.6}, {30, 0.37}, {82, 0.03}};
  Model m = build(brass, {{29, KA_LINE}, {30, KB_LINE}, {82, LA_LINE}}, excitation, 55.0, 35.0);
  m.sherman->computeRates();
  const double sinIn = std::sin(55.0 * M_PI / 180.0), sinOut = std::sin(35.0 * M_PI / 180.0);
  auto mu = [&brass](double E) {
    double sum = 0.0;
    for (const auto& entry : brass) sum += entry.second * CS_Total(entry.first, E, nullptr);
    return sum;
  };
  const unsigned int j = 40;  // the 20.2 keV tube line
  const double E = excitation->energyAt(j);
  const std::pair<int, int> pairs[] = {{0, 1}, {0, 2}, {1, 2}};  // Cu by Zn KB, Cu by Pb, Zn by Pb
  for (const auto& p : pairs) {
    const XRFLine& a = m.sherman->lines[p.first].line;
    const XRFLine& k = m.sherman->lines[p.second].line;
    const int Za = a.element().atomicNumber(), Zk = k.element().atomicNumber();
    const double Lk = k.lineEnergyKeV(), La = a.lineEnergyKeV();
    const double A = 0.5 * referenceSensitivity(Zk, k.line(), k.shell()) * CS_Photo(Zk, E, nullptr) *
                     CS_Photo(Za, Lk, nullptr) / CS_Photo(Za, E, nullptr);
    const double pIn = sinIn * std::log(1.0 + mu(E) / (mu(Lk) * sinIn)) / mu(E);
    const double pOut = sinOut * std::log(1.0 + mu(La) / (mu(Lk) * sinOut)) / mu(La);
    const double expected = A * (pIn + pOut);
    EXPECT_NEAR(m.sherman->secondaryFluorescense(p.first, p.second, j), expected, kRelTol * expected)
        << p.first << " by " << p.second;
  }
}

TEST(ShermanRatesTest, DoublingTheExcitationDoublesEveryRate) {
  auto excitation = syntheticExcitation();
  const Sample steel = realisticSamples()[2];
  Model m = build(steel.composition, steel.codes, excitation);
  m.sherman->computeRates();
  const std::vector<double> before = ratesOf(*m.sherman);
  for (unsigned int j = 0; j < excitation->size(); ++j)
    excitation->setValueAt(j, 2.0 * excitation->valueAt(j));
  m.sherman->computeRates();
  for (std::size_t i = 0; i < before.size(); ++i) {
    ASSERT_GT(before[i], 0.0);
    EXPECT_EQ(m.sherman->lines[i].rate, 2.0 * before[i]) << i;  // scaling by 2 is exact
  }
}

TEST(ShermanRatesTest, ScalingEveryFractionLeavesEveryRateUnchanged) {
  auto excitation = syntheticExcitation();
  const Sample rock = realisticSamples()[4];
  for (double factor : {2.0, 0.37}) {
    Model m = build(rock.composition, rock.codes, excitation);
    m.sherman->computeRates();
    const std::vector<double> before = ratesOf(*m.sherman);
    for (double& fraction : m.chemistry->fractions) fraction *= factor;  // beyond 1 on purpose
    m.sherman->computeRates();
    for (std::size_t i = 0; i < before.size(); ++i)
      EXPECT_NEAR(m.sherman->lines[i].rate, before[i], 1e-13 * before[i])
          << "factor " << factor << " line " << i;
  }
}

TEST(ShermanRatesTest, RatesAreTheSameBitsForAnyNumberOfThreads) {
  const int savedThreads = omp_get_max_threads();
  auto excitation = syntheticExcitation();
  for (const Sample& sample : realisticSamples()) {
    Model m = build(sample.composition, sample.codes, excitation, 50.0, 40.0);
    std::vector<std::vector<double>> results;
    for (int threads : {1, 2, 3}) {
      omp_set_num_threads(threads);
      for (Sherman::Line& line : m.sherman->lines) line.rate = -1.0;
      m.sherman->computeRates();
      results.push_back(ratesOf(*m.sherman));
    }
    for (std::size_t t = 1; t < results.size(); ++t)
      EXPECT_EQ(0, std::memcmp(results[0].data(), results[t].data(),
                               results[0].size() * sizeof(double)))
          << sample.name << ", " << t + 1 << " threads";
  }
  omp_set_num_threads(savedThreads);
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A model with every group line of twenty elements that the beam excites, as an analyser's
// main beam has.
Model manyLines(const std::shared_ptr<SpectrumBase<double>>& excitation) {
  const int elements[] = {13, 14, 16, 19, 20, 22, 24, 25, 26, 27,
                          28, 29, 30, 38, 40, 42, 47, 50, 74, 82};
  Composition composition;
  for (int Z : elements) composition[Z] = 0.01 * (1 + Z % 7);
  composition[26] = 0.4;
  Model m = build(composition, {}, excitation, 60.0, 45.0);
  Sherman::Builder builder(m.chemistry, excitation);
  builder.incidenceAngle(Angle::createFromDegrees(60.0)).takeOffAngle(Angle::createFromDegrees(45.0));
  for (int Z : elements) builder.addAllLinesFromElement(Element(Z), false);
  m.sherman = std::make_unique<Sherman>();
  EXPECT_EQ(builder.create(*m.sherman), 0);
  return m;
}

TEST(ShermanRatesTest, RatesAreTheSameBitsAsThePlainEvaluationOnOneAndTwoThreads) {
  struct Case {
    std::string name;
    Model model;
  };
  std::vector<Case> cases;
  for (const Sample& sample : realisticSamples()) {
    cases.push_back({sample.name, build(sample.composition, sample.codes, syntheticExcitation(), 62.0, 38.0)});
    cases.push_back({std::string(sample.name) + " under W 30 kV",
                     build(sample.composition, sample.codes,
                           tubeExcitation(74, 30.0, {Filter::create(Element("Al"), 100.0, 0.0)}))});
  }
  // Unsorted points, two of them exactly at edges; nickel measured but absent from the
  // sample, and an element without lines.
  cases.push_back({"unsorted points",
                   build({{26, 0.5}, {28, 0.0}, {29, 0.3}, {82, 0.2}},
                         {{26, KA_LINE}, {28, KA_LINE}, {29, KB_LINE}, {82, LA_LINE}},
                         discrete({30.0, EdgeEnergy(26, K_SHELL, nullptr), 9.5, 2.0, 17.5,
                                   EdgeEnergy(29, K_SHELL, nullptr), 8.4, 14.0}))});
  // Enough work for the lines to be shared among threads.
  cases.push_back({"many lines, 0.1 keV grid", manyLines(tubeExcitation(45, 40.0, {}, 0.1))});

  const int savedThreads = omp_get_max_threads();
  for (Case& c : cases) {
    Sherman& model = *c.model.sherman;
    ASSERT_GT(model.lines.size(), 0u) << c.name;
    const detail::ReferenceRates expected = detail::referenceRates(model);
    for (int threads : {1, 2}) {
      omp_set_num_threads(threads);
      for (Sherman::Line& line : model.lines) line.rate = -1.0;
      model.computeRates();
      EXPECT_TRUE(sameBits(ratesOf(model), expected.rates)) << c.name << ", " << threads << " threads";
      EXPECT_TRUE(sameBits(model.lineAttenuation(), expected.lineAttenuation)) << c.name;
      EXPECT_TRUE(sameBits(model.binAttenuation(), expected.binAttenuation)) << c.name;
    }
    // A second composition through the same tables.
    for (double& fraction : c.model.chemistry->fractions) fraction = fraction * 0.5 + 0.01;
    model.computeRates();
    EXPECT_TRUE(sameBits(ratesOf(model), detail::referenceRates(model).rates)) << c.name << ", new composition";
  }
  omp_set_num_threads(savedThreads);
}

TEST(ShermanRatesTest, PlainEvaluationAgreesWithTheIndependentOne) {
  auto excitation = syntheticExcitation();
  for (const Sample& sample : realisticSamples()) {
    Model m = build(sample.composition, sample.codes, excitation, 62.0, 38.0);
    const std::vector<double> plain = detail::referenceRates(*m.sherman).rates;
    const std::vector<double> independent = referenceRates(
        referenceLinesOf(*m.sherman), sample.composition, *excitation, 62.0 * M_PI / 180.0, 38.0 * M_PI / 180.0);
    for (std::size_t i = 0; i < plain.size(); ++i) {
      ASSERT_GT(independent[i], 0.0) << sample.name << " line " << i;
      EXPECT_NEAR(plain[i], independent[i], kRelTol * independent[i]) << sample.name << " line " << i;
    }
  }
}

TEST(ShermanRatesTest, SpectrumThatGrewAfterCreateIsReadOnlyAsFarAsTheTableReaches) {
  auto continuum = std::make_shared<LinearSpectrum<double>>(0.0, 30.0, 1.0);
  for (unsigned int i = 0; i < continuum->size(); ++i) (*continuum)[i] = 100.0;
  auto tubeLines = std::make_shared<DiscreteSpectrum<double>>(1u);
  tubeLines->setEnergyAt(0, 20.2);
  tubeLines->setValueAt(0, 5000.0);
  std::shared_ptr<SpectrumBase<double>> first = continuum;
  std::shared_ptr<SpectrumBase<double>> second = tubeLines;
  auto excitation = spectrumConcat(first, second);
  Model m = build({{26, 0.5}, {29, 0.5}}, {{26, KA_LINE}, {29, KA_LINE}}, excitation);
  m.sherman->computeRates();
  const std::vector<double> before = ratesOf(*m.sherman);

  DiscreteSpectrum<double> more(2u);
  more.setEnergyAt(0, 20.2);
  more.setValueAt(0, 5000.0);
  more.setEnergyAt(1, 22.7);
  more.setValueAt(1, 1000.0);
  *tubeLines = more;
  ASSERT_EQ(excitation->size(), m.sherman->binCount() + 1);

  testing::LogCapture log;
  m.sherman->computeRates();
  EXPECT_TRUE(log.contains("excitation spectrum has 32 points, the model was built for 31",
                           spdlog::level::warn));
  EXPECT_EQ(ratesOf(*m.sherman), before);
}

}  // namespace
}  // namespace calyx
