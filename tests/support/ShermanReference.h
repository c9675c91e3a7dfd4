// An independent, deliberately plain evaluation of the Sherman line factor and rate
// equation, straight from xraylib's C functions, for tests to compare the model with.
// Nothing here is shared with the library's implementation: no tables, no cached values,
// the formula written out term by term with xraylib's named constants.
#ifndef CALYX_TESTS_SUPPORT_SHERMANREFERENCE_H
#define CALYX_TESTS_SUPPORT_SHERMANREFERENCE_H

#include <xraylib.h>

#include <cmath>
#include <map>
#include <vector>

#include "calyx/Spectrum.h"

namespace calyx {
namespace testing {

inline double xrlRadRate(int Z, int line) { return RadRate(Z, line, nullptr); }
inline double xrlYield(int Z, int shell) { return FluorYield(Z, shell, nullptr); }
inline double xrlCK(int Z, int trans) { return CosKronTransProb(Z, trans, nullptr); }

/// Radiative rate R of a line code (group codes 0..3 summed over their transitions).
inline double referenceRadiativeRate(int Z, int code) {
  if (code < 0) return xrlRadRate(Z, code);
  if (Z < 1 || Z > 120) return 0.0;
  if (code == KA_LINE)
    return xrlRadRate(Z, KL1_LINE) + xrlRadRate(Z, KL2_LINE) + xrlRadRate(Z, KL3_LINE);
  if (code == KB_LINE) {
    const double ka = xrlRadRate(Z, KA_LINE);
    return (ka == 0.0 || ka == 1.0) ? 0.0 : 1.0 - ka;
  }
  if (code == LA_LINE) return xrlRadRate(Z, L3M5_LINE) + xrlRadRate(Z, L3M4_LINE);
  // LB
  return xrlRadRate(Z, L2M4_LINE) + xrlRadRate(Z, L3N5_LINE) + xrlRadRate(Z, L1M3_LINE) +
         xrlRadRate(Z, L1M2_LINE) + xrlRadRate(Z, L3O3_LINE) + xrlRadRate(Z, L3O4_LINE) +
         xrlRadRate(Z, L3N1_LINE);
}

/// Fluorescence yield of a shell with the Coster-Kronig cascade from the inner subshells.
inline double referenceEffectiveYield(int Z, int shell) {
  const double w1 = xrlYield(Z, L1_SHELL), w2 = xrlYield(Z, L2_SHELL), w3 = xrlYield(Z, L3_SHELL);
  const double m1 = xrlYield(Z, M1_SHELL), m2 = xrlYield(Z, M2_SHELL), m3 = xrlYield(Z, M3_SHELL),
               m4 = xrlYield(Z, M4_SHELL), m5 = xrlYield(Z, M5_SHELL);
  const double f12 = xrlCK(Z, FL12_TRANS), f13 = xrlCK(Z, FL13_TRANS), f23 = xrlCK(Z, FL23_TRANS);
  const double g12 = xrlCK(Z, FM12_TRANS), g13 = xrlCK(Z, FM13_TRANS), g14 = xrlCK(Z, FM14_TRANS),
               g15 = xrlCK(Z, FM15_TRANS), g23 = xrlCK(Z, FM23_TRANS), g24 = xrlCK(Z, FM24_TRANS),
               g25 = xrlCK(Z, FM25_TRANS), g34 = xrlCK(Z, FM34_TRANS), g35 = xrlCK(Z, FM35_TRANS),
               g45 = xrlCK(Z, FM45_TRANS);
  switch (shell) {
    case L2_SHELL:
      return w2 + w1 * f12;
    case L3_SHELL:
      return w3 + w2 * f23 + w1 * (f12 * f23 + f13);
    case M2_SHELL:
      return m2 + m1 * g12;
    case M3_SHELL:
      return m3 + m2 * g23 + m1 * (g12 * g23 + g13);
    case M4_SHELL:
      return m4 + m3 * g34 + m2 * (g23 * g34 + g24) +
             m1 * (g12 * g23 * g34 + g13 * g34 + g12 * g24 + g14);
    case M5_SHELL:
      return m5 + m4 * g45 + m3 * (g34 * g45 + g24) +
             m2 * (g23 * g34 * g45 + g24 * g45 + g23 * g35 + g25) +
             m1 * (g12 * g23 * g34 * g45 + g12 * g23 * g35 + g12 * g24 * g45 + g13 * g34 * g45 +
                   g12 * g25 + g13 * g35 + g14 * g45 + g15);
    default:
      return xrlYield(Z, shell);
  }
}

/// S = R (1 - 1/J) W for the line code `code` of element Z, whose vacancy is in `shell`.
inline double referenceSensitivity(int Z, int code, int shell) {
  return referenceRadiativeRate(Z, code) * (1.0 - 1.0 / JumpFactor(Z, shell, nullptr)) *
         referenceEffectiveYield(Z, shell);
}

/// A modelled line for the reference rate equation.
struct ReferenceLine {
  int Z;
  int code;
  int shell;
};

inline int referenceShell(int code) {
  switch (code) {
    case KA_LINE:
    case KB_LINE:
      return K_SHELL;
    case LA_LINE:
      return L3_SHELL;
    case LB_LINE:
      return L2_SHELL;
    default:
      break;
  }
  if (code >= KP5_LINE) return K_SHELL;      // K transitions: -1 .. -28
  if (code >= L1P5_LINE) return L1_SHELL;    // L1 transitions
  if (code >= L2Q1_LINE) return L2_SHELL;    // L2 transitions
  if (code >= L3Q1_LINE) return L3_SHELL;    // L3 transitions
  if (code >= M1P5_LINE) return M1_SHELL;
  if (code >= M2P5_LINE) return M2_SHELL;
  if (code >= M3Q1_LINE) return M3_SHELL;
  if (code >= M4P5_LINE) return M4_SHELL;
  return M5_SHELL;
}

/// Rates of an infinitely thick sample, evaluated term by term:
///   rate_i = c_i S_i Σ_{E_j > B_i} τ_i(E_j) I_j / (μs(E_j)/sin ψin + μs(L_i)/sin ψout)
///            (1 + Σ_{L_k > B_i, E_j > B_k} c_k ½ S_k τ_k(E_j) τ_i(L_k)/τ_i(E_j) (Pin + Pout)).
/// `fractions` maps atomic number to mass fraction (the sample's elements).
inline std::vector<double> referenceRates(const std::vector<ReferenceLine>& lines,
                                          const std::map<int, double>& fractions,
                                          const SpectrumBase<double>& excitation,
                                          double incidenceRadians, double takeOffRadians) {
  auto muSample = [&fractions](double E) {
    double mu = 0.0;
    for (const auto& entry : fractions) mu += entry.second * CS_Total(entry.first, E, nullptr);
    return mu;
  };
  auto tau = [](int Z, double E) { return CS_Photo(Z, E, nullptr); };
  auto fractionOf = [&fractions](int Z) {
    auto it = fractions.find(Z);
    return it == fractions.end() ? 0.0 : it->second;
  };
  const double sinIn = std::sin(incidenceRadians);
  const double sinOut = std::sin(takeOffRadians);

  std::vector<double> rates;
  for (const ReferenceLine& analyte : lines) {
    const double Li = LineEnergy(analyte.Z, analyte.code, nullptr);
    const double Bi = EdgeEnergy(analyte.Z, analyte.shell, nullptr);
    const double Si = referenceSensitivity(analyte.Z, analyte.code, analyte.shell);
    const double muLi = muSample(Li);
    double sum = 0.0;
    for (unsigned int j = 0; j < excitation.size(); ++j) {
      const double E = excitation.energyAt(j);
      if (E <= Bi) continue;
      const double muE = muSample(E);
      const double primary =
          tau(analyte.Z, E) * excitation.valueAt(j) / (muE / sinIn + muLi / sinOut);
      double enhancement = 0.0;
      for (const ReferenceLine& enhancer : lines) {
        const double Lk = LineEnergy(enhancer.Z, enhancer.code, nullptr);
        const double Bk = EdgeEnergy(enhancer.Z, enhancer.shell, nullptr);
        if (!(Lk > Bi && E > Bk)) continue;
        const double Sk = referenceSensitivity(enhancer.Z, enhancer.code, enhancer.shell);
        const double muLk = muSample(Lk);
        const double pIn = sinIn / muE * std::log(1.0 + muE / (muLk * sinIn));
        const double pOut = sinOut / muLi * std::log(1.0 + muLi / (muLk * sinOut));
        enhancement += fractionOf(enhancer.Z) * 0.5 * Sk * tau(enhancer.Z, E) *
                       tau(analyte.Z, Lk) / tau(analyte.Z, E) * (pIn + pOut);
      }
      sum += primary * (1.0 + enhancement);
    }
    rates.push_back(fractionOf(analyte.Z) * Si * sum);
  }
  return rates;
}

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_SHERMANREFERENCE_H
