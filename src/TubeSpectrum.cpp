// X-ray tube spectrum: bremsstrahlung continuum plus the anode's characteristic lines.
//
// Continuum: Kramers' law in wavelength form, I(λ) dλ ∝ Z (V - E) E dλ, with the stopping-
// power term ln(1.166 (E + 2V) / (3 J)), J = 11.5 Z eV, an empirical exponent on V/(2E) and
// a Philibert-type anode self-absorption factor 1 / ((1 + χ)(1 + χ h / (1 + h))),
// χ = μ / (σ sin α), h = 1.2 A / Z², with the Lenard coefficient σ = 4e5 / (V^1.65 - E^1.65);
// after H. Ebel, X-Ray Spectrom. 28 (1999) 255 and Pella, Feng and Small, X-Ray Spectrom. 14
// (1985) 125. Lines: the continuum at the line energy over a 1 keV bin, times an empirical
// factor b + n / (a + Z⁴) and a function of the overvoltage U = V / E.
#include "calyx/TubeSpectrum.h"

#include <algorithm>
#include <cmath>

#include "detail/TubeModel.h"
#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr double kHcKeVAngstrom = 12.3984193;
constexpr double kInvFourSqrt3 = 0.14433756729740646;  // 1 / (4 √3)
constexpr double kKramersConstant = 7.52e-5;           // per unit Z
constexpr double kLenardNumerator = 400000.0;
constexpr double kLenardPower = 1.65;
constexpr double kBackscatterWeight = 1.2;             // h = 1.2 A / Z²
constexpr double kIonisationEnergyPerZ = 11.5;         // J = 11.5 Z eV
constexpr double kStoppingKeVToEV = 1166.0;            // 1.166 x 1000 eV per keV
constexpr double kIntensityScale = 100000000000.0;     // 1e11: relative units
constexpr double kLineBinWidthKeV = 1.0;
constexpr double kExponentAtRh = 0.17;                 // k at Z = 45
constexpr int kExponentPivotZ = 45;
// Widest sub-bin of an integrated continuum bin: fine enough that an absorption edge of the
// anode, window or a filter inside a bin shifts its integral by well below 1e-3.
constexpr double kIntegrationSubBinKeV = 0.01;
// Below 1 keV the integrated continuum is left out: no analysed line (all lie above 1 keV)
// has its edge there, every window stops it, and xraylib's attenuation data, on which the
// window's transmission rests, end near there.
constexpr double kLowestIntegratedKeV = 1.0;

// KA, KB, LA, LB: xraylib's group lines, energies as rate-weighted means.
constexpr int kTubeLines[] = {0, 1, 2, 3};

struct LineConstants {
  double a;
  double b;
  double n;
};

LineConstants lineConstants(int lineCode) {
  switch (lineCode) {
    case 1:
      return {205000.0, -0.014, 513000.0};
    case 2:
      return {2650000.0, 0.21, 20200000.0};
    case 3:
      return {6050000.0, -0.09, 17600000.0};
    default:
      return {97600.0, -0.39, 3220000.0};
  }
}

}  // namespace

namespace detail {

double tubeContinuumExponent(int anodeZ) {
  const double dz = static_cast<double>(anodeZ - kExponentPivotZ);
  if (anodeZ <= kExponentPivotZ) return kExponentAtRh + dz * 0.06 / -21.0;
  return kExponentAtRh + dz * (0.15 - 0.17) / 29.0;
}

double tubeLineFactor(int lineCode, int anodeZ) {
  const LineConstants c = lineConstants(lineCode);
  // Z⁴ is exact in an integer for every element; 64 bits keep absurd Z defined.
  const long long z = anodeZ;
  const double z4 = static_cast<double>(z * z * z * z);
  return c.b + c.n / (c.a + z4);
}

}  // namespace detail

void TubeSpectrumCreator::generateContinuumSpectrumImpl(double binWidthKeV,
                                                        SpectrumBase<double>& spectrum) const {
  const double V = voltage_;
  const int z = hardware_.anodeZ;
  const double k = detail::tubeContinuumExponent(z);
  const double atomicWeight = detail::xrl::atomicWeight(z);
  const double sinAlpha = std::sin(hardware_.takeoffAngle.radians());
  const double vPower = std::pow(V, kLenardPower);
  const long long zz = static_cast<long long>(z) * z;
  const double h = kBackscatterWeight * atomicWeight / static_cast<double>(zz);
  const double halfBin = binWidthKeV / 2.0;

  const unsigned int n = spectrum.size();
  for (unsigned int i = 0; i < n; ++i) {
    const double E = spectrum.energyAt(i);
    const double mu = detail::xrl::csTotal(z, E);
    const double window = filterTransmission(hardware_.windowZ, hardware_.windowThickness, E);

    const double P = std::pow(V / (2.0 * E), k);
    const double sigma = kLenardNumerator / (vPower - std::pow(E, kLenardPower));
    const double chi = (mu / sinAlpha) / sigma;
    const double f = 1.0 / ((1.0 + chi) * (1.0 + chi * h / (1.0 + h)));
    const double K = (((V - E) / kHcKeVAngstrom * (z * kKramersConstant)) * kInvFourSqrt3) * E /
                     kHcKeVAngstrom;
    const double L =
        std::log((E + 2.0 * V) * (kStoppingKeVToEV / (kIonisationEnergyPerZ * z)) / 3.0);
    const double dLambda =
        std::fabs(kHcKeVAngstrom / (E - halfBin) - kHcKeVAngstrom / (E + halfBin));

    double value = dLambda * (window * ((P * K) * f) / L);
    if (std::isnan(value)) value = 0.0;
    spectrum.setValueAt(i, value);
  }
}

void TubeSpectrumCreator::applyFilters(SpectrumBase<double>& spectrum) const {
  const unsigned int n = spectrum.size();
  for (unsigned int i = 0; i < n; ++i) {
    const double t = Filter::getTransmissionCoef(spectrum.energyAt(i), filters_);
    spectrum.setValueAt(i, t * spectrum.valueAt(i));
  }
  for (unsigned int i = 0; i < n; ++i) spectrum.setValueAt(i, spectrum.valueAt(i) * kIntensityScale);
}

void TubeSpectrumCreator::generateContinuumSpectrum(double binWidthKeV,
                                                    SpectrumBase<double>& spectrum) const {
  generateContinuumSpectrumImpl(binWidthKeV, spectrum);
  applyFilters(spectrum);
}

void TubeSpectrumCreator::integrateContinuum(SpectrumBase<double>& spectrum) const {
  const double step = stepSize_;
  const unsigned int n = spectrum.size();
  const auto sub = static_cast<unsigned int>(std::max(1.0, std::ceil(step / kIntegrationSubBinKeV - 1e-9)));
  const double h = step / sub;
  // Sub-bin centres of every bin that lie below the voltage (above it no photon exists).
  std::vector<double> energies;
  std::vector<unsigned int> owner;
  energies.reserve(static_cast<std::size_t>(n) * sub);
  owner.reserve(energies.capacity());
  for (unsigned int i = 0; i < n; ++i) {
    const double low = spectrum.energyAt(i) - 0.5 * step;
    for (unsigned int s = 0; s < sub; ++s) {
      const double E = low + (s + 0.5) * h;
      if (!(E >= kLowestIntegratedKeV) || !(E + 0.5 * h <= voltage_ + 1e-12)) continue;
      energies.push_back(E);
      owner.push_back(i);
    }
  }
  std::vector<double> values;
  if (model_ == Model::Ebel) {
    ebelContinuumDensity(energies, values);
    for (double& v : values) v *= h;
  } else {
    DiscreteSpectrum<double> fine(static_cast<unsigned int>(energies.size()));
    for (unsigned int k = 0; k < energies.size(); ++k) fine.setEnergyAt(k, energies[k]);
    generateContinuumSpectrum(h, fine);
    values.resize(energies.size());
    for (unsigned int k = 0; k < energies.size(); ++k) values[k] = fine.valueAt(k);
  }
  std::vector<double> sums(n, 0.0);
  for (std::size_t k = 0; k < values.size(); ++k)
    if (std::isfinite(values[k]) && values[k] > 0.0) sums[owner[k]] += values[k];
  for (unsigned int i = 0; i < n; ++i) spectrum.setValueAt(i, sums[i]);
}

DiscreteSpectrum<double> TubeSpectrumCreator::generateDiscreteSpectrum() const {
  if (model_ == Model::Ebel) return ebelLines();
  const double V = voltage_;
  const int z = hardware_.anodeZ;

  // A line xraylib does not have for the anode comes back at energy 0; it would pass the
  // voltage test and put a not-a-number into the excitation. Keep only real lines below V.
  int codes[4];
  double energies[4];
  unsigned int m = 0;
  for (int code : kTubeLines) {
    const double E = detail::xrl::lineEnergy(z, code);
    if (std::isfinite(E) && E > 0.0 && E < V) {
      codes[m] = code;
      energies[m] = E;
      ++m;
    }
  }

  DiscreteSpectrum<double> continuumAtLines(m);
  for (unsigned int i = 0; i < m; ++i) continuumAtLines.setEnergyAt(i, energies[i]);
  generateContinuumSpectrumImpl(kLineBinWidthKeV, continuumAtLines);

  DiscreteSpectrum<double> lines(m);
  for (unsigned int i = 0; i < m; ++i) {
    const double E = energies[i];
    const double U = V / E;  // overvoltage against the line energy itself
    const double x = (U - 1.0) / (1.17 * U + 3.2);
    const double value = continuumAtLines.valueAt(i) *
                         (detail::tubeLineFactor(codes[i], z) * std::exp(0.5 * (x * x))) *
                         (U * std::log(U) / (U - 1.0) - 1.0);
    lines.setEnergyAt(i, E);
    lines.setValueAt(i, value);
  }
  applyFilters(lines);
  return lines;
}

std::shared_ptr<SpectrumBase<double>> TubeSpectrumCreator::generateTotalSpectrum() const {
  LinearSpectrum<double> continuum(0.0, voltage_, stepSize_);
  if (integratedBins_ || model_ == Model::Ebel)
    integrateContinuum(continuum);
  else
    generateContinuumSpectrum(stepSize_, continuum);
  std::shared_ptr<SpectrumBase<double>> first = std::make_shared<LinearSpectrum<double>>(continuum);
  std::shared_ptr<SpectrumBase<double>> second =
      std::make_shared<DiscreteSpectrum<double>>(generateDiscreteSpectrum());
  return spectrumConcat(first, second);
}

}  // namespace calyx
