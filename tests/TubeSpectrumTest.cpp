// The tube spectrum against the continuum and line formulas written out below on xraylib's
// C functions (1e-12 relative per point), and the grid, line selection and model constants.
#include "calyx/TubeSpectrum.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xraylib.h>

#include "detail/TubeModel.h"
#include "support/HardwareFixtures.h"

namespace calyx {
namespace {

constexpr double kRel = 1e-12;
constexpr double kHc = 12.3984193;

struct Layer {
  std::vector<std::pair<int, double>> elements;  // Z, mass fraction
  double micrometres;
  double density;  // 0: each element at its own density
};

TubeHardware tube(int anodeZ) { return testing::berylliumWindowTube(anodeZ, 125.0, 20.0); }

double layersTransmission(const std::vector<Layer>& layers, double e) {
  double t = 1.0;
  for (const Layer& l : layers) {
    double sum = 0.0;
    for (const auto& [z, w] : l.elements) {
      const double rho = l.density == 0.0 ? ElementDensity(z, nullptr) : l.density;
      sum += rho * w * CS_Total(z, e, nullptr);
    }
    t *= std::exp(-l.micrometres * 1e-4 * sum);
  }
  return t;
}

// Raw continuum at E over a bin of width s (no filters, no 1e11).
double rawContinuum(const TubeHardware& hw, double V, double E, double s) {
  const int Z = hw.anodeZ;
  const double k = Z <= 45 ? 0.17 - (Z - 45) * 0.06 / 21.0 : 0.17 - (Z - 45) * 0.02 / 29.0;
  const double P = std::pow(V / (2.0 * E), k);
  const double sigma = 4e5 / (std::pow(V, 1.65) - std::pow(E, 1.65));
  const double chi = CS_Total(Z, E, nullptr) / std::sin(hw.takeoffAngle.radians()) / sigma;
  const double h = 1.2 * AtomicWeight(Z, nullptr) / (Z * Z);
  const double f = 1.0 / ((1.0 + chi) * (1.0 + chi * h / (1.0 + h)));
  const double K = Z * 7.52e-5 * (V - E) * E / (4.0 * std::sqrt(3.0) * kHc * kHc);
  const double L = std::log(1.166 * (E + 2.0 * V) / (3.0 * 0.0115 * Z));
  const double T = std::exp(-ElementDensity(hw.windowZ, nullptr) * hw.windowThickness * 1e-4 *
                            CS_Total(hw.windowZ, E, nullptr));
  const double dLambda = std::fabs(kHc / (E - s / 2.0) - kHc / (E + s / 2.0));
  const double value = dLambda * T * P * K * f / L;
  return std::isnan(value) ? 0.0 : value;
}

// Line intensity of a group line at energy E, before filters and the 1e11.
double rawLine(const TubeHardware& hw, double V, int code, double E) {
  static const double a[] = {97600, 205000, 2650000, 6050000};
  static const double b[] = {-0.39, -0.014, 0.21, -0.09};
  static const double n[] = {3220000, 513000, 20200000, 17600000};
  const double z4 = std::pow(static_cast<double>(hw.anodeZ), 4);
  const double U = V / E;
  const double x = (U - 1.0) / (1.17 * U + 3.2);
  return rawContinuum(hw, V, E, 1.0) * (b[code] + n[code] / (a[code] + z4)) *
         std::exp(0.5 * x * x) * (U * std::log(U) / (U - 1.0) - 1.0);
}

void expectRelative(double actual, double expected, const std::string& where) {
  if (expected == 0.0)
    EXPECT_EQ(actual, 0.0) << where;
  else
    EXPECT_NEAR(actual, expected, kRel * std::fabs(expected)) << where;
}

TEST(TubeSpectrumTest, TotalSpectrumAgreesWithTheContinuumAndLineFormulas) {
  const std::vector<std::pair<std::string, std::vector<Layer>>> filterSets = {
      {"none", {}},
      {"Al 100 um", {{{{13, 1.0}}, 100.0, 0.0}}},
      {"Cu 50 um", {{{{29, 1.0}}, 50.0, 0.0}}},
      {"Cu 50 um at 8.5", {{{{29, 1.0}}, 50.0, 8.5}}},
      {"Al 100 um + brass 25 um", {{{{13, 1.0}}, 100.0, 0.0}, {{{29, 0.6}, {30, 0.4}}, 25.0, 0.0}}},
  };
  for (int anode : {45, 74, 47}) {
    for (double V : {10.0, 20.0, 30.0, 40.0, 50.0}) {
      for (const auto& [name, layers] : filterSets) {
        std::vector<Filter> filters;
        for (const Layer& l : layers) {
          Compound c;
          for (const auto& [z, w] : l.elements) c.set(ElementChemistry(Element(z), w, 0.0));
          filters.push_back(Filter::create(c, l.micrometres, l.density));
        }
        TubeSpectrumCreator creator;
        creator.setHardware(tube(anode));
        creator.setFilters(filters);
        creator.setVoltage(V);
        const auto total = creator.generateTotalSpectrum();

        const unsigned int grid = static_cast<unsigned int>(std::lround(V * 20.0));  // up to V in steps of 0.05
        std::vector<int> lines;
        for (int code = 0; code < 4; ++code)
          if (LineEnergy(anode, code, nullptr) < V) lines.push_back(code);
        ASSERT_EQ(total->size(), grid + lines.size());

        const std::string where = "Z=" + std::to_string(anode) + " V=" + std::to_string(V) +
                                  " filters " + name + " point ";
        for (unsigned int i = 0; i < grid; ++i) {
          const double e = total->energyAt(i);
          EXPECT_NEAR(e, 0.05 * (i + 1), 1e-12) << where << i;
          const double expected =
              rawContinuum(tube(anode), V, e, 0.05) * layersTransmission(layers, e) * 1e11;
          expectRelative(total->valueAt(i), expected, where + std::to_string(i));
        }
        for (unsigned int j = 0; j < lines.size(); ++j) {
          const double e = LineEnergy(anode, lines[j], nullptr);
          EXPECT_EQ(total->energyAt(grid + j), e) << where << "line " << lines[j];
          const double expected =
              rawLine(tube(anode), V, lines[j], e) * layersTransmission(layers, e) * 1e11;
          expectRelative(total->valueAt(grid + j), expected, where + "line " + std::to_string(j));
          EXPECT_GT(total->valueAt(grid + j), 0.0);
        }
      }
    }
  }
}

TEST(TubeSpectrumTest, UnitStepAt40kVGivesFortyPointsEndingAtZero) {
  TubeSpectrumCreator creator;
  creator.setHardware(tube(45));
  creator.setVoltage(40.0);
  creator.setStepSize(1.0);
  const auto total = creator.generateTotalSpectrum();
  ASSERT_EQ(total->size(), 40u + 4u);  // Rh KA, KB, LA, LB all lie below 40 keV
  for (unsigned int i = 0; i < 40; ++i) EXPECT_EQ(total->energyAt(i), i + 1.0);
  EXPECT_EQ(total->valueAt(39), 0.0);
  EXPECT_GT(total->valueAt(38), 0.0);
}

TEST(TubeSpectrumTest, DefaultStepAt10kVGivesTwoHundredPoints) {
  TubeSpectrumCreator creator;
  creator.setHardware(tube(45));
  creator.setVoltage(10.0);
  const auto total = creator.generateTotalSpectrum();
  ASSERT_EQ(total->size(), 200u + 2u);  // Rh LA and LB only
  EXPECT_DOUBLE_EQ(total->energyAt(0), 0.05);
  EXPECT_EQ(total->energyAt(200), LineEnergy(45, 2, nullptr));
  EXPECT_EQ(total->energyAt(201), LineEnergy(45, 3, nullptr));
}

TEST(TubeSpectrumTest, ContinuumExponentRunsLinearlyThroughThreeAnodes) {
  EXPECT_NEAR(detail::tubeContinuumExponent(24), 0.23, 1e-15);
  EXPECT_NEAR(detail::tubeContinuumExponent(45), 0.17, 1e-15);
  EXPECT_NEAR(detail::tubeContinuumExponent(74), 0.15, 1e-15);
  EXPECT_NEAR(detail::tubeContinuumExponent(29), 0.17 + 16 * 0.06 / 21, 1e-15);
}

TEST(TubeSpectrumTest, LineFactorsOfRhodiumMatchTheHandWorkedValues) {
  const double expected[] = {0.37699, 0.10515, 3.20232, 1.64388};
  for (int code = 0; code < 4; ++code)
    EXPECT_NEAR(detail::tubeLineFactor(code, 45), expected[code], 5e-6) << code;
  EXPECT_EQ(detail::tubeLineFactor(-3, 45), detail::tubeLineFactor(0, 45));
}

TEST(TubeSpectrumTest, VoltageBetweenTheLAndKLinesKeepsOnlyTheLLines) {
  TubeSpectrumCreator creator;
  creator.setHardware(tube(45));
  creator.setVoltage(15.0);
  const DiscreteSpectrum<double> lines = creator.generateDiscreteSpectrum();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines.energyAt(0), LineEnergy(45, LA_LINE, nullptr));
  EXPECT_EQ(lines.energyAt(1), LineEnergy(45, LB_LINE, nullptr));
}

TEST(TubeSpectrumTest, VoltageBelowEveryLineGivesTheContinuumAlone) {
  TubeSpectrumCreator creator;
  creator.setHardware(tube(45));
  creator.setVoltage(2.0);
  EXPECT_EQ(creator.generateDiscreteSpectrum().size(), 0u);
  EXPECT_EQ(creator.generateTotalSpectrum()->size(), LinearSpectrum<double>(0.0, 2.0, 0.05).size());
}

TEST(TubeSpectrumTest, LinesTheAnodeDoesNotHaveAreLeftOut) {
  // xraylib has no LA line for aluminium and no KB line for carbon (energy 0).
  struct Case {
    int anode;
    std::vector<int> kept;
  };
  for (const Case& c : {Case{13, {KA_LINE, KB_LINE, LB_LINE}}, Case{6, {KA_LINE}}}) {
    TubeSpectrumCreator creator;
    creator.setHardware(tube(c.anode));
    creator.setVoltage(10.0);
    const DiscreteSpectrum<double> lines = creator.generateDiscreteSpectrum();
    ASSERT_EQ(lines.size(), c.kept.size()) << c.anode;
    for (unsigned int i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines.energyAt(i), LineEnergy(c.anode, c.kept[i], nullptr)) << c.anode;
      EXPECT_TRUE(std::isfinite(lines.valueAt(i))) << c.anode << " line " << c.kept[i];
    }
  }
}


// ---- opt-in: integrated bins and Ebel's model --------------------------------------------

// The default continuum behind 100 µm Al, integrated by the test at 1 eV resolution (the
// integrated grid leaves out the photons below 1 keV).
double referenceIntegral(const TubeHardware& hw, double V, double from, double to) {
  const std::vector<Layer> al = {{{{13, 1.0}}, 100.0, 2.7}};
  const double h = 0.001;
  double sum = 0.0;
  for (double E = from + h / 2.0; E < to; E += h) sum += rawContinuum(hw, V, E, h) * layersTransmission(al, E);
  return sum * 1e11;
}

TEST(TubeSpectrumTest, IntegratedBinsKeepTheTotalForAnyStepAndIntegrateAcrossAnEdge) {
  const TubeHardware hw = tube(45);
  const double V = 40.0;
  for (double step : {0.1, 0.25, 1.0}) {
    TubeSpectrumCreator creator;
    creator.setHardware(hw);
    creator.setFilters({Filter::create(Element("Al"), 100.0, 2.7)});
    creator.setVoltage(V);
    creator.setStepSize(step);
    creator.setIntegratedBins(true);
    LinearSpectrum<double> continuum(0.0, V, step);
    creator.generateContinuumSpectrum(step, continuum);  // the plain values: the old rule
    const std::shared_ptr<SpectrumBase<double>> total = creator.generateTotalSpectrum();
    double sum = 0.0;
    for (unsigned int i = 0; i < continuum.size(); ++i) sum += total->valueAt(i);
    const double top = std::min(V, continuum.energyAt(continuum.size() - 1) + step / 2.0);
    EXPECT_NEAR(sum, referenceIntegral(hw, V, 1.0, top), 1e-3 * sum) << step;
    if (step == 1.0) {
      // The bin [22.5, 23.5] keV holds the Rh K edge (23.22 keV), where the anode's
      // self-absorption jumps: the integral sees both sides.
      EXPECT_NEAR(total->valueAt(22), referenceIntegral(hw, V, 22.5, 23.5), 1e-4 * total->valueAt(22));
    }
  }
}

// Ebel's formulas, written out here from X-Ray Spectrom. 28 (1999) 255 and 32 (2003) 46.
struct Ebel {
  int Z;
  double E0;
  double incidence;  // degrees
  double takeoff;    // degrees
  double meanLYield;  // ω̄_L as tabulated by Hubbell et al., J. Phys. Chem. Ref. Data 23 (1994) 339
  double eta() const {
    const double l = std::log(Z);
    return std::pow(E0, 0.1382 - 0.9211 / std::sqrt(Z)) * (0.1904 - 0.2236 * l + 0.1292 * l * l - 0.01491 * l * l * l);
  }
  double depth(double U) const {
    const double J = 0.0135 * Z;
    const double zm = AtomicWeight(Z, nullptr) / Z * (0.787e-5 * std::sqrt(J) * std::pow(E0, 1.5) + 0.735e-6 * E0 * E0);
    const double e = eta();
    return zm * (0.49269 - 1.0987 * e + 0.78557 * e * e) * std::log(U) /
           (0.70256 - 1.09865 * e + 1.0046 * e * e + std::log(U));
  }
  double absorption(double E, double U) const {
    const double chi = CS_Photo(Z, E, nullptr) * std::sin(incidence * M_PI / 180) / std::sin(takeoff * M_PI / 180);
    const double x = 2 * chi * depth(U);
    return (1 - std::exp(-x)) / x;
  }
  double window(double E) const { return std::exp(-ElementDensity(4, nullptr) * 125e-4 * CS_Total(4, E, nullptr)); }
  double continuum(double E) const {  // per keV
    const double x = 1.109 - 0.00435 * Z + 0.00175 * E0;
    return 1.35e9 * Z * std::pow(E0 / E - 1, x) * absorption(E, E0 / E) * window(E);
  }
  double line(int code, int shell, double constant, double zb) const {
    const double edge = EdgeEnergy(Z, shell, nullptr);
    const double E = LineEnergy(Z, code, nullptr);
    const double U = E0 / edge;
    const double J = 0.0135 * Z;
    const double core = U * std::log(U) + 1 - U;
    const double S = zb / Z * core *
                     (1 + 16.05 * std::sqrt(J / edge) * (std::sqrt(U) * std::log(U) + 2 * (1 - std::sqrt(U))) / core);
    const double R = 1 - 0.0081517 * Z + 3.613e-5 * Z * Z + 0.009583 * Z * std::exp(-U) + 0.001141 * E0;
    const double yield = shell == K_SHELL ? FluorYield(Z, K_SHELL, nullptr) : meanLYield;
    const double zCorrection = shell == L1_SHELL || shell == L2_SHELL ? -0.4814 + 0.03781 * Z - 2.413e-4 * Z * Z : 1.0;
    return constant * zCorrection * S * R * yield * RadRate(Z, code, nullptr) * absorption(E, U) * window(E);
  }
};

TEST(TubeSpectrumTest, EbelModelAgreesWithThePublishedFormulas) {
  for (const Ebel& e : {Ebel{45, 40.0, 90.0, 20.0, 0.0459}, Ebel{74, 60.0, 70.0, 30.0, 0.269}}) {
    TubeHardware hw = tube(e.Z);
    hw.takeoffAngle = Angle::createFromDegrees(e.takeoff);
    TubeSpectrumCreator creator;
    creator.setHardware(hw);
    creator.setVoltage(e.E0);
    creator.setStepSize(0.01);  // one sub-bin per point: value = density x 0.01 keV
    creator.setModel(TubeSpectrumCreator::Model::Ebel);
    creator.setElectronIncidence(Angle::createFromDegrees(e.incidence));
    const std::shared_ptr<SpectrumBase<double>> total = creator.generateTotalSpectrum();
    for (unsigned int i : {499u, 999u, 2999u}) {  // 5, 10 and 30 keV
      const double E = total->energyAt(i);
      EXPECT_NEAR(total->valueAt(i), e.continuum(E) * 0.01, 1e-9 * total->valueAt(i)) << e.Z << " at " << E;
    }
    const DiscreteSpectrum<double> lines = creator.generateDiscreteSpectrum();
    struct Expected {
      int code;
      int shell;
      double constant;
      double zb;
    };
    for (const Expected& x : {Expected{KA_LINE, K_SHELL, 5e13, 2 * 0.35}, Expected{L3M5_LINE, L3_SHELL, 4.94e13, 8 * 0.25},
                              Expected{L2M4_LINE, L2_SHELL, 2.70e13, 8 * 0.25}, Expected{L1M3_LINE, L1_SHELL, 0.71e13, 8 * 0.25}}) {
      if (EdgeEnergy(e.Z, x.shell, nullptr) >= e.E0) continue;
      bool found = false;
      for (unsigned int i = 0; i < lines.size(); ++i) {
        if (lines.energyAt(i) != LineEnergy(e.Z, x.code, nullptr)) continue;
        found = true;
        const double expected = e.line(x.code, x.shell, x.constant, x.zb);
        // The library computes ω̄_L from Hubbell's fit, the table rounds it to 3 digits.
        const double tolerance = x.shell == K_SHELL ? 1e-9 : 1e-3;
        EXPECT_NEAR(lines.valueAt(i), expected, tolerance * expected) << e.Z << " line " << x.code;
      }
      EXPECT_TRUE(found) << e.Z << " line " << x.code;
    }
  }
}

TEST(TubeSpectrumTest, EbelModelStaysPositiveAndFiniteFromCrToW) {
  for (int Z = 24; Z <= 74; Z += 5)  // Cr, Cu, Se, ... W
    for (double kV : {4.0, 10.0, 30.0, 60.0, 100.0})
      for (double takeoff : {5.0, 45.0, 90.0}) {
        TubeHardware hw = tube(Z);
        hw.takeoffAngle = Angle::createFromDegrees(takeoff);
        TubeSpectrumCreator creator;
        creator.setHardware(hw);
        creator.setVoltage(kV);
        creator.setStepSize(1.0);
        creator.setModel(TubeSpectrumCreator::Model::Ebel);
        const std::shared_ptr<SpectrumBase<double>> total = creator.generateTotalSpectrum();
        double continuum = 0.0;
        for (unsigned int i = 0; i < total->size(); ++i) {
          const double v = total->valueAt(i);
          ASSERT_TRUE(std::isfinite(v) && v >= 0.0) << Z << " " << kV << " kV " << takeoff << " deg, point " << i;
          if (i < static_cast<unsigned int>(kV)) continuum += v;
        }
        EXPECT_GT(continuum, 0.0) << Z << " " << kV << " kV " << takeoff << " deg";
        const DiscreteSpectrum<double> lines = creator.generateDiscreteSpectrum();
        for (unsigned int i = 0; i < lines.size(); ++i) EXPECT_GT(lines.valueAt(i), 0.0) << Z << " " << kV;
        if (EdgeEnergy(Z, L3_SHELL, nullptr) < kV) {
          EXPECT_GT(lines.size(), 0u) << Z << " " << kV;
        }
      }
}

}  // namespace
}  // namespace calyx
