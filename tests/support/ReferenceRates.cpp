// The Sherman rate equation (J. Sherman, Spectrochim. Acta 7 (1955) 283, with the secondary
// fluorescence of T. Shiraiwa and N. Fujino, Jpn. J. Appl. Phys. 5 (1966) 886), evaluated
// plainly as it reads:
//
//   rate_i = c_i S_i Σ_{j: E_j > B_i} τ_i(E_j) I_j / (μs(E_j)/sin ψin + μs(L_i)/sin ψout)
//            x (1 + Σ_{k: L_k > B_i, E_j > B_k} c_k A_ikj (Pin + Pout)),
//   A_ikj = 0.5 S_k τ_k(E_j) τ_i(L_k) / τ_i(E_j),
//   Pin   = sin ψin ln(1 + μs(E_j)/(μs(L_k) sin ψin)) / μs(E_j),
//   Pout  = sin ψout ln(1 + μs(L_i)/(μs(L_k) sin ψout)) / μs(L_i),
//   μs(E) = Σ_e c_e μ_e(E).
//
// Every datum is looked up where the equation uses it. This is what computeRates() makes
// fast with its tables; the two must agree to the last bit.
#include "support/ReferenceRates.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "detail/Xraylib.h"

namespace calyx {
namespace detail {

namespace {

double secondaryFluorescence(const Sherman& model, const ReferenceRates& r, std::size_t i,
                             std::size_t k, unsigned int j) {
  const XRFLine& analyte = model.lines[i].line;
  const XRFLine& enhancer = model.lines[k].line;
  const int Zi = analyte.element().atomicNumber();
  const int Zk = enhancer.element().atomicNumber();
  const double E = model.excitationSpectrum()->energyAt(j);
  const double sinIn = std::sin(model.incidenceAngle().radians());
  const double sinOut = std::sin(model.takeOffAngle().radians());
  const double muE = r.binAttenuation[j];
  const double muLi = r.lineAttenuation[i];
  const double muLk = r.lineAttenuation[k];

  const double A = 0.5 * model.lines[k].sensitivity * xrl::csPhoto(Zk, E) *
                   xrl::csPhoto(Zi, enhancer.lineEnergyKeV()) / xrl::csPhoto(Zi, E);
  const double pIn = sinIn * std::log(1.0 + muE / (muLk * sinIn)) / muE;
  const double pOut = sinOut * std::log(1.0 + muLi / (muLk * sinOut)) / muLi;
  return A * (pIn + pOut);
}

}  // namespace

ReferenceRates referenceRates(const Sherman& model) {
  ReferenceRates r;
  const std::size_t n = model.lines.size();
  const SpectrumBase<double>* spectrum = model.excitationSpectrum();
  const unsigned int pointCount =
      std::min(spectrum != nullptr ? spectrum->size() : 0u, model.binCount());
  static const std::vector<Element> kNoElements;
  static const std::vector<double> kNoFractions;
  const std::vector<Element>& elements =
      model.chemistry != nullptr ? model.chemistry->elements : kNoElements;
  const std::vector<double>& c =
      model.chemistry != nullptr ? model.chemistry->fractions : kNoFractions;

  r.lineAttenuation.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t e = 0; e < elements.size(); ++e)
      r.lineAttenuation[i] =
          c[e] * xrl::csTotal(elements[e].atomicNumber(), model.lines[i].line.lineEnergyKeV()) +
          r.lineAttenuation[i];
  r.binAttenuation.assign(model.binCount(), 0.0);
  for (unsigned int j = 0; j < pointCount; ++j)
    for (std::size_t e = 0; e < elements.size(); ++e)
      r.binAttenuation[j] =
          c[e] * xrl::csTotal(elements[e].atomicNumber(), spectrum->energyAt(j)) +
          r.binAttenuation[j];

  r.rates.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const Sherman::Line& analyte = model.lines[i];
    const int Zi = analyte.line.element().atomicNumber();
    const double Bi = analyte.line.edgeEnergyKeV();
    double sum = 0.0;
    for (unsigned int j = 0; j < pointCount; ++j) {
      const double E = spectrum->energyAt(j);
      if (!(E > Bi)) continue;
      const double primary =
          (xrl::csPhoto(Zi, E) * spectrum->valueAt(j)) /
          (r.binAttenuation[j] / std::sin(model.incidenceAngle().radians()) +
           r.lineAttenuation[i] / std::sin(model.takeOffAngle().radians()));
      double enh = 0.0;
      for (std::size_t k = 0; k < n; ++k) {
        const Sherman::Line& enhancer = model.lines[k];
        if (enhancer.line.lineEnergyKeV() > Bi && E > enhancer.line.edgeEnergyKeV())
          enh = enh + enhancer.fraction * secondaryFluorescence(model, r, i, k, j);
      }
      sum = sum + primary * (enh + 1.0);
    }
    r.rates[i] = sum * (analyte.sensitivity * analyte.fraction);
  }
  return r;
}

}  // namespace detail
}  // namespace calyx
