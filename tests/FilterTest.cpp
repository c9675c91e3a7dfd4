// Filters, single-element layers, Compton energies and scatter shares, against the
// Beer-Lambert and mixture formulas written out here on xraylib's C functions.
// Tolerance: 1e-12 relative for every formula on xraylib data.
#include "calyx/Filter.h"
#include "calyx/Sherman.h"

#include <cmath>
#include <set>
#include <vector>

#include <gtest/gtest.h>
#include <xraylib.h>

namespace calyx {
namespace {

constexpr double kRel = 1e-12;
const double kEnergies[] = {1.2, 5.0, 8.04, 17.48, 45.0};

double mu(int z, double e) { return CS_Total(z, e, nullptr); }
double rho(int z) { return ElementDensity(z, nullptr); }

Compound brass() {
  Compound c;
  c.set(ElementChemistry(Element(29), 0.6, 0.0));
  c.set(ElementChemistry(Element(30), 0.4, 0.0));
  return c;
}

TEST(FilterTest, PureElementFilterAtDensityZeroMatchesTheSingleElementLayer) {
  const Filter f = Filter::create(Element(13), 25.0, 0.0);
  EXPECT_DOUBLE_EQ(f.getThickness(), 0.0025);
  EXPECT_EQ(f.getDensity(), 0.0);
  ASSERT_EQ(f.getCompound().size(), 1u);
  for (double e : kEnergies) {
    const double expected = std::exp(-0.0025 * rho(13) * mu(13, e));
    EXPECT_NEAR(f.getTransmissionCoef(e), expected, kRel * expected) << e;
    EXPECT_NEAR(filterTransmission(13, 25.0, e), expected, kRel * expected) << e;
  }
  // The layer must attenuate measurably, or the comparison above proves nothing.
  EXPECT_LT(f.getTransmissionCoef(1.2), 0.5);
}

TEST(FilterTest, TwoElementFilterAtDensityZeroWeightsEachElementByItsOwnDensity) {
  const Filter f = Filter::create(brass(), 10.0, 0.0);
  for (double e : kEnergies) {
    const double t = 10.0e-4;
    const double expected =
        std::exp(-t * (0.6 * mu(29, e) * rho(29) + 0.4 * mu(30, e) * rho(30)));
    EXPECT_NEAR(f.getTransmissionCoef(e), expected, kRel * expected) << e;
  }
}

TEST(FilterTest, FilterWithAGivenDensityUsesItForEveryElementAndAListMultiplies) {
  const Filter f = Filter::create(brass(), 10.0, 8.4);
  EXPECT_EQ(f.getDensity(), 8.4);
  for (double e : kEnergies) {
    const double expected = std::exp(-8.4 * 10.0e-4 * (0.6 * mu(29, e) + 0.4 * mu(30, e)));
    EXPECT_NEAR(f.getTransmissionCoef(e), expected, kRel * expected) << e;
    const double single = std::exp(-1e-4 * 50.0 * mu(26, e) * 7.0);
    EXPECT_NEAR(filterTransmission(26, 50.0, 7.0, e), single, kRel * single) << e;
    // A list transmits the product of its filters.
    const std::vector<Filter> list = {f, Filter::create(Element(13), 100.0, 0.0)};
    const double both = expected * std::exp(-100e-4 * rho(13) * mu(13, e));
    EXPECT_NEAR(Filter::getTransmissionCoef(e, list), both, kRel * both) << e;
  }
}

TEST(FilterTest, ZeroThicknessEmptyCompoundAndEmptyListTransmitExactlyOne) {
  const Filter thin = Filter::create(Element(82), 0.0, 0.0);
  const Filter empty = Filter::create(Compound(), 100.0, 5.0);
  for (double e : kEnergies) {
    EXPECT_EQ(thin.getTransmissionCoef(e), 1.0);
    EXPECT_EQ(empty.getTransmissionCoef(e), 1.0);
    EXPECT_EQ(Filter::getTransmissionCoef(e, {}), 1.0);
  }
}

TEST(FilterTest, ComptonEnergyIsUnchangedAtZeroAngleAndRaisedAtNinetyDegrees) {
  EXPECT_NEAR(comptonScatterEnergy(Angle::createFromDegrees(0.0), 17.48), 17.48, kRel * 17.48);

  const double at90 = comptonScatterEnergy(Angle::createFromDegrees(90.0), 19.0);
  const double expected = 12.3984193 / (12.3984193 / 19.0 - 0.024266195720864605);
  EXPECT_NEAR(at90, expected, kRel * expected);
  EXPECT_GT(at90, 19.0);
  EXPECT_NEAR(at90, 19.73, 0.01);
}

TEST(FilterTest, ComptonEnergyWithoutAngleIsTakenAt128Degrees) {
  for (double e : kEnergies) {
    EXPECT_EQ(comptonScatterEnergy(e), comptonScatterEnergy(Angle::createFromDegrees(128.0), e));
    const double cos128 = std::cos(128.0 * std::acos(-1.0) / 180.0);
    const double expected = 12.3984193 / (12.3984193 / e - 0.024266195720864605 * (1.0 - cos128));
    EXPECT_NEAR(comptonScatterEnergy(e), expected, kRel * expected) << e;
  }
}

TEST(FilterTest, ScatterSharesAreTheWeightedCrossSectionsOverTheWeightedAttenuation) {
  Compound sample;
  ASSERT_TRUE(Compound::fromFormula("CaCO3", sample));
  for (double e : kEnergies) {
    double compton = 0.0, rayleigh = 0.0, total = 0.0;
    for (const ElementChemistry& x : sample) {
      const int z = x.element.atomicNumber();
      compton += x.fraction * CS_Compt(z, e, nullptr);
      rayleigh += x.fraction * CS_Rayl(z, e, nullptr);
      total += x.fraction * mu(z, e);
    }
    EXPECT_NEAR(comptonScatterCoefficient(sample, e), compton / total, kRel * compton / total);
    EXPECT_NEAR(rayleahScatterCoefficient(sample, e), rayleigh / total, kRel * rayleigh / total);
  }
}

TEST(FilterTest, ScatterSharesDoNotDependOnTheScaleOfTheComposition) {
  Compound sample;
  ASSERT_TRUE(Compound::fromFormula("Fe2O3", sample));
  Compound scaled;
  for (const ElementChemistry& x : sample)
    scaled.set(ElementChemistry(x.element, 0.37 * x.fraction, 0.0));
  for (double e : kEnergies) {
    const double c = comptonScatterCoefficient(sample, e);
    const double r = rayleahScatterCoefficient(sample, e);
    EXPECT_NEAR(comptonScatterCoefficient(scaled, e), c, kRel * c);
    EXPECT_NEAR(rayleahScatterCoefficient(scaled, e), r, kRel * r);
  }
}

TEST(FilterTest, ScatterSharesOfAnEmptyCompositionAreNaN) {
  EXPECT_TRUE(std::isnan(comptonScatterCoefficient(Compound(), 17.48)));
  EXPECT_TRUE(std::isnan(rayleahScatterCoefficient(Compound(), 17.48)));
  const Sherman::Chemistry none(std::set<Element>{});
  EXPECT_TRUE(std::isnan(comptonScatterCoefficient(none, 17.48)));
  EXPECT_TRUE(std::isnan(rayleahScatterCoefficient(none, 17.48)));
}

TEST(FilterTest, ChemistryFormGivesTheCompoundResultAndIgnoresElementsAtZero) {
  Compound sample;
  ASSERT_TRUE(Compound::fromFormula("SiO2", sample));
  // The chemistry holds iron as well, at fraction 0: it must add nothing.
  Sherman::Chemistry chemistry(std::set<Element>{Element(8), Element(14), Element(26)});
  chemistry.setCompound(sample);
  for (double e : kEnergies) {
    EXPECT_EQ(comptonScatterCoefficient(chemistry, e), comptonScatterCoefficient(sample, e));
    EXPECT_EQ(rayleahScatterCoefficient(chemistry, e), rayleahScatterCoefficient(sample, e));
  }
}

}  // namespace
}  // namespace calyx
