// X-ray tube spectrum after H. Ebel: continuum and K lines from X-Ray Spectrom. 28 (1999)
// 255-266, L lines from X-Ray Spectrom. 32 (2003) 46-51. Energies in keV, mass depths in
// g/cm², intensities in photons / (s sr mA) (per keV for the continuum).
//
// Continuum:  dN/dE = 1.35e9 Z (E0/E - 1)^x f(χ),  x = 1.109 - 0.00435 Z + 0.00175 E0.
// Line of shell s:  N = const_s (1/S) R ω_s p f(χ), with const_K = 5e13 (the 1999 paper's value
//   for K lines), and per L subshell (2003) const_L3 = 4.94e13, const_L2 = 2.70e13 c(Z),
//   const_L1 = 0.71e13 c(Z), c(Z) = -0.4814 + 0.03781 Z - 2.413e-4 Z² below Z = 80 (0.73 for Rh,
//   1 near Z = 78) and 1 above,
//   1/S = (z_s b_s / Z) (U0 ln U0 + 1 - U0) [1 + 16.05 √(J / E_s) (√U0 ln U0 + 2 (1 - √U0))
//         / (U0 ln U0 + 1 - U0)],  z_K b_K = 2 x 0.35, z_L b_L = 8 x 0.25,  J = 0.0135 Z,
//   R = 1 - 0.0081517 Z + 3.613e-5 Z² + 0.009583 Z exp(-U0) + 0.001141 E0 (backscatter loss),
//   ω_s the K-shell fluorescence yield, and for every L line the mean L-shell yield ω̄_L the
//   2003 constants were fitted with (Coster-Kronig transitions are absorbed in the constants),
//   from the fit of Hubbell et al., J. Phys. Chem. Ref. Data 23 (1994) 339:
//   (ω̄_L / (1 - ω̄_L))^(1/4) = 0.17765 + 2.98937e-3 Z + 8.91297e-5 Z² - 2.67184e-7 Z³,
//   p the line's share of its subshell's radiative transitions.
// Self-absorption in the anode over the mean depth of generation ρz̄:
//   f(χ) = (1 - exp(-2 χ ρz̄)) / (2 χ ρz̄),  χ = τ(E) sin φ / sin ε, τ the photoabsorption,
//   ρz̄ = ρzm (0.49269 - 1.0987 η + 0.78557 η²) ln U0 / (0.70256 - 1.09865 η + 1.0046 η² + ln U0),
//   ρzm = (A/Z) (0.787e-5 √J E0^1.5 + 0.735e-6 E0²),
//   η = E0^m (0.1904 - 0.2236 ln Z + 0.1292 ln²Z - 0.01491 ln³Z),  m = 0.1382 - 0.9211 / √Z
//   (the electron backscatter coefficient of Love and Scott),
// with U0 = E0 / E for the continuum and E0 / E_edge for a line; φ the electrons' incidence
// and ε the take-off angle, both to the anode surface. The exit window and the beam filters
// attenuate both parts.
#include <cmath>
#include <vector>

#include "calyx/TubeSpectrum.h"
#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr double kContinuumConstant = 1.35e9;
constexpr double kKConstant = 5e13;
constexpr double kL1Constant = 0.71e13;
constexpr double kL2Constant = 2.70e13;
constexpr double kL3Constant = 4.94e13;
constexpr double kZbK = 2.0 * 0.35;
constexpr double kZbL = 8.0 * 0.25;
constexpr double kIonisationPerZ = 0.0135;  // J = 0.0135 Z keV

struct AnodeTerms {
  double z;
  double J;
  double eta;
  double rhoZm;
};

AnodeTerms anodeTerms(int anodeZ, double E0) {
  AnodeTerms t;
  t.z = static_cast<double>(anodeZ);
  t.J = kIonisationPerZ * t.z;
  const double lnZ = std::log(t.z);
  const double m = 0.1382 - 0.9211 / std::sqrt(t.z);
  t.eta = std::pow(E0, m) * (0.1904 - 0.2236 * lnZ + 0.1292 * lnZ * lnZ - 0.01491 * lnZ * lnZ * lnZ);
  const double A = detail::xrl::atomicWeight(anodeZ);
  t.rhoZm = (A / t.z) * (0.787e-5 * std::sqrt(t.J) * std::pow(E0, 1.5) + 0.735e-6 * E0 * E0);
  return t;
}

double meanDepth(const AnodeTerms& t, double U0) {
  const double lnU = std::log(U0);
  const double eta = t.eta;
  return t.rhoZm * (0.49269 - 1.0987 * eta + 0.78557 * eta * eta) * lnU /
         (0.70256 - 1.09865 * eta + 1.0046 * eta * eta + lnU);
}

// (1 - exp(-2 χ ρz̄)) / (2 χ ρz̄), written so that a small argument stays accurate.
double selfAbsorption(double chi, double depth) {
  const double x = 2.0 * chi * depth;
  if (!(x > 1e-12)) return 1.0;
  return -std::expm1(-x) / x;
}

double stoppingFactor(double zb, double z, double J, double edge, double U0) {
  const double lnU = std::log(U0);
  const double core = U0 * lnU + 1.0 - U0;
  const double sqrtU = std::sqrt(U0);
  return (zb / z) * core * (1.0 + 16.05 * std::sqrt(J / edge) * (sqrtU * lnU + 2.0 * (1.0 - sqrtU)) / core);
}

double backscatterFactor(double z, double U0, double E0) {
  return 1.0 - 0.0081517 * z + 3.613e-5 * z * z + 0.009583 * z * std::exp(-U0) + 0.001141 * E0;
}

struct TubeLine {
  int code;
  int shell;
};

// The 2003 correction of the L1 and L2 constants with the anode's Z (fitted from Mo to Bi; it
// reaches 1 near Z = 78 and is held there above Z = 80).
double lSubshellCorrection(double z) {
  if (z >= 80.0) return 1.0;
  return -0.4814 + 0.03781 * z - 2.413e-4 * z * z;
}

double lineConstant(int shell, double z) {
  switch (shell) {
    case K_SHELL:
      return kKConstant;
    case L1_SHELL:
      return kL1Constant * lSubshellCorrection(z);
    case L2_SHELL:
      return kL2Constant * lSubshellCorrection(z);
    default:
      return kL3Constant;
  }
}

// Mean L-shell fluorescence yield, Hubbell et al. (1994).
double meanLYield(double z) {
  const double s = 0.17765 + z * (2.98937e-3 + z * (8.91297e-5 - 2.67184e-7 * z));
  const double q = s * s * s * s;
  return q / (1.0 + q);
}

// K: the Kα and Kβ groups; L: the strong lines of each subshell, by xraylib's line codes.
constexpr TubeLine kEbelLines[] = {
    {KA_LINE, K_SHELL},   {KB_LINE, K_SHELL},   {L3M5_LINE, L3_SHELL}, {L3M4_LINE, L3_SHELL},
    {L3N5_LINE, L3_SHELL}, {L3M1_LINE, L3_SHELL}, {L2M4_LINE, L2_SHELL}, {L2N4_LINE, L2_SHELL},
    {L1M3_LINE, L1_SHELL}, {L1M2_LINE, L1_SHELL},
};

}  // namespace

void TubeSpectrumCreator::ebelContinuumDensity(const std::vector<double>& energies, std::vector<double>& out) const {
  const double E0 = voltage_;
  const int Z = hardware_.anodeZ;
  out.assign(energies.size(), 0.0);
  if (!(E0 > 0.0) || Z < 1) return;
  const AnodeTerms t = anodeTerms(Z, E0);
  const double x = 1.109 - 0.00435 * t.z + 0.00175 * E0;
  const double geometry = std::sin(electronIncidence_.radians()) / std::sin(hardware_.takeoffAngle.radians());
  for (std::size_t i = 0; i < energies.size(); ++i) {
    const double E = energies[i];
    if (!(E > 0.0 && E < E0)) continue;
    const double U0 = E0 / E;
    const double chi = detail::xrl::csPhoto(Z, E) * geometry;
    const double window = filterTransmission(hardware_.windowZ, hardware_.windowThickness, E);
    const double filters = Filter::getTransmissionCoef(E, filters_);
    const double value = kContinuumConstant * t.z * std::pow(U0 - 1.0, x) * selfAbsorption(chi, meanDepth(t, U0)) *
                         window * filters;
    if (std::isfinite(value) && value > 0.0) out[i] = value;
  }
}

DiscreteSpectrum<double> TubeSpectrumCreator::ebelLines() const {
  const double E0 = voltage_;
  const int Z = hardware_.anodeZ;
  std::vector<double> energies;
  std::vector<double> values;
  if (E0 > 0.0 && Z >= 1) {
    const AnodeTerms t = anodeTerms(Z, E0);
    const double geometry = std::sin(electronIncidence_.radians()) / std::sin(hardware_.takeoffAngle.radians());
    for (const TubeLine& line : kEbelLines) {
      const double E = detail::xrl::lineEnergy(Z, line.code);
      const double edge = detail::xrl::edgeEnergy(Z, line.shell);
      if (!(std::isfinite(E) && E > 0.0 && edge > E && edge < E0)) continue;
      const double U0 = E0 / edge;
      const bool k = line.shell == K_SHELL;
      const double stopping = stoppingFactor(k ? kZbK : kZbL, t.z, t.J, edge, U0);
      const double yield = k ? detail::xrl::fluorYield(Z, K_SHELL) : meanLYield(t.z);
      const double rate = detail::xrl::radRate(Z, line.code);
      const double chi = detail::xrl::csPhoto(Z, E) * geometry;
      const double window = filterTransmission(hardware_.windowZ, hardware_.windowThickness, E);
      const double filters = Filter::getTransmissionCoef(E, filters_);
      const double value = lineConstant(line.shell, t.z) * stopping * backscatterFactor(t.z, U0, E0) * yield * rate *
                           selfAbsorption(chi, meanDepth(t, U0)) * window * filters;
      if (!(std::isfinite(value) && value > 0.0)) continue;
      energies.push_back(E);
      values.push_back(value);
    }
  }
  DiscreteSpectrum<double> lines(static_cast<unsigned int>(energies.size()));
  for (unsigned int i = 0; i < energies.size(); ++i) {
    lines.setEnergyAt(i, energies[i]);
    lines.setValueAt(i, values[i]);
  }
  return lines;
}

}  // namespace calyx
