// Detector response of the spectrum fit.
//
// Peak width: the semiconductor law FWHM² = noise² + 2.3548² F ε E with ε = 3.85 eV per
// electron-hole pair in silicon (G.F. Knoll, Radiation Detection and Measurement, ch. 11).
// Escape peaks: the probability that a photon absorbed at normal incidence in a semi-infinite
// crystal leaves a K photon of the crystal element out of its front face,
//   f = ½ ω_K (1 - 1/J_K) (τ/μ)(E) [1 - (μ_K/μ(E)) ln(1 + μ(E)/μ_K)],
// with μ_K the crystal's attenuation at its own K-alpha energy (S.J.B. Reed and N.G. Ware,
// J. Phys. E 5 (1972) 582). The crystal is taken as thick for the escaping photons (they
// leave from the first tens of micrometres).
#include "SpectrumFit/Response.h"

#include <algorithm>
#include <cmath>

#include "detail/Xraylib.h"

namespace calyx {

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;
constexpr double kPairEnergyEV = 3.85;
constexpr double kCutSigmas = 5.0;

// Φ(x) differences for channel integration.
double normalCdf(double x) { return 0.5 * std::erfc(-x * 0.7071067811865476); }

// Shell of the transitions the groups use.
int transitionShell(int code) {
  if (code >= -16) return 0;                      // K
  if (code == -33 || code == -34) return 1;       // L1
  if (code == -63) return 2;                      // L2
  if (code <= -205) return 8;                     // M5
  return 3;                                       // L3
}

std::vector<int> groupCodes(int code) {
  switch (code) {
    case 0:
      return {KL1_LINE, KL2_LINE, KL3_LINE};
    case 1:
      return {KM2_LINE, KM3_LINE, KM4_LINE, KM5_LINE, KN2_LINE, KN3_LINE, KN4_LINE, KN5_LINE};
    case 2:
      return {L3M5_LINE, L3M4_LINE};
    case 3:
      return {L2M4_LINE, L3N5_LINE, L1M3_LINE, L1M2_LINE, L3O3_LINE, L3O4_LINE, L3N1_LINE};
    case detail::kMAlphaGroup:
      return {M5N7_LINE, M5N6_LINE};
    default:
      return {code};
  }
}

// Share of the photoionisations above the L1 edge that open each L subshell, from the jump
// ratios (Coster-Kronig transfers neglected); 1 for the K and M shells.
double vacancyShare(int Z, int shell) {
  if (shell < 1 || shell > 3) return 1.0;
  using detail::xrl::jumpFactor;
  const double j1 = jumpFactor(Z, 1), j2 = jumpFactor(Z, 2), j3 = jumpFactor(Z, 3);
  if (!(j1 > 1 && j2 > 1 && j3 > 1)) return 1.0;
  if (shell == 1) return 1.0 - 1.0 / j1;
  if (shell == 2) return (1.0 / j1) * (1.0 - 1.0 / j2);
  return (1.0 / j1) * (1.0 / j2) * (1.0 - 1.0 / j3);
}

}  // namespace

DetectorResolution DetectorResolution::fromDetector(const DetectorHardware& detector, double fano) {
  DetectorResolution r;
  r.fano = fano;
  const double fanoPart = kFwhmPerSigma * kFwhmPerSigma * fano * kPairEnergyEV * detector.measuredFWHMEnergy;
  const double square = detector.measuredFWHM * detector.measuredFWHM - fanoPart;
  r.noiseEV = square > 0 ? std::sqrt(square) : 0.0;
  return r;
}

double DetectorResolution::fwhmKeV(double energyKeV) const {
  const double square = noiseEV * noiseEV + kFwhmPerSigma * kFwhmPerSigma * fano * kPairEnergyEV * energyKeV * 1000.0;
  return square > 0 ? std::sqrt(square) / 1000.0 : 0.0;
}

namespace detail {

double escapeLineKeV(const DetectorHardware& detector) { return xrl::lineEnergy(detector.Z, KA_LINE); }

double escapeFraction(const DetectorHardware& detector, double energyKeV) {
  const int Z = detector.Z;
  if (Z < 1 || !(energyKeV > xrl::edgeEnergy(Z, K_SHELL))) return 0.0;
  const double lineKeV = xrl::lineEnergy(Z, KA_LINE);
  const double muK = xrl::csTotal(Z, lineKeV);
  const double mu = xrl::csTotal(Z, energyKeV);
  const double tau = xrl::csPhoto(Z, energyKeV);
  const double jump = xrl::jumpFactor(Z, K_SHELL);
  if (!(muK > 0 && mu > 0 && jump > 1)) return 0.0;
  const double f = 0.5 * xrl::fluorYield(Z, K_SHELL) * (1.0 - 1.0 / jump) * (tau / mu) *
                   (1.0 - (muK / mu) * std::log(1.0 + mu / muK));
  return std::isfinite(f) && f > 0 ? f : 0.0;
}

std::vector<Transition> lineTransitions(int Z, int code, const DetectorHardware& detector, bool escape,
                                        double* intensity) {
  std::vector<Transition> out;
  double total = 0.0;
  for (int t : groupCodes(code)) {
    const double energy = xrl::lineEnergy(Z, t);
    const double rate = xrl::radRate(Z, t);
    if (!(energy > 0 && rate > 0)) continue;
    const int shell = transitionShell(t);
    double weight = rate * xrl::fluorYield(Z, shell) * vacancyShare(Z, shell);
    weight = weight * detector.getDetectorEfficiencyFactor(energy);
    if (!(weight > 0) || !std::isfinite(weight)) continue;
    Transition tr;
    tr.energyKeV = energy;
    tr.weight = weight;
    tr.escapeFraction = escape ? escapeFraction(detector, energy) : 0.0;
    out.push_back(tr);
    total += weight;
  }
  for (Transition& tr : out) tr.weight /= total;
  if (intensity) *intensity = total;
  return out;
}

namespace {

// Adds a Gaussian of `area` centred at `energyKeV` (true energy) to out[first..end).
void addGaussian(double energyKeV, double widthFactor, const ShapeParameters& s, unsigned int first,
                 unsigned int end, double area, double* out, unsigned int outStart, unsigned int outEnd) {
  DetectorResolution r;
  r.noiseEV = s.noiseEV;
  r.fano = s.fano;
  const double sigmaKeV = r.fwhmKeV(energyKeV) / kFwhmPerSigma * widthFactor;
  if (!(sigmaKeV > 0) || !(s.gainKeV > 0)) return;
  const double centre = (energyKeV - s.offsetKeV) / s.gainKeV;  // in channels
  const double sigma = sigmaKeV / s.gainKeV;
  const double tailLow = std::max<double>(first, std::floor(centre - kCutSigmas * sigma));
  const double tailHigh = std::min<double>(static_cast<double>(end) - 1.0, std::ceil(centre + kCutSigmas * sigma));
  if (tailHigh < tailLow) return;
  const unsigned int lo = std::max(outStart, static_cast<unsigned int>(tailLow));
  const unsigned int hi = std::min(outEnd - 1, static_cast<unsigned int>(tailHigh));
  const double inv = 1.0 / sigma;
  double previous = normalCdf((static_cast<double>(lo) - 0.5 - centre) * inv);
  const double mainArea = area * (1.0 - s.tailFraction);
  for (unsigned int i = lo; i <= hi; ++i) {
    const double next = normalCdf((static_cast<double>(i) + 0.5 - centre) * inv);
    out[i - outStart] += mainArea * (next - previous);
    previous = next;
  }
  if (s.tailFraction > 0) {
    // Exponential tail below the peak, integrated over each channel.
    const double slope = s.tailSlopeKeV / s.gainKeV;
    const double tailArea = area * s.tailFraction;
    const double start = std::max<double>(outStart, std::floor(centre - 12 * slope));
    for (unsigned int i = static_cast<unsigned int>(start); i < outEnd; ++i) {
      const double a = static_cast<double>(i) - 0.5 - centre, b = std::min(static_cast<double>(i) + 0.5 - centre, 0.0);
      if (a >= 0) break;
      out[i - outStart] += tailArea * (std::exp(b / slope) - std::exp(a / slope));
    }
  }
}

void addColumn(const PeakColumn& column, const ShapeParameters& s, bool escape, double escapeKeV, unsigned int first,
               unsigned int end, double area, double* out, unsigned int outStart, unsigned int outEnd) {
  const double width = column.kind == PeakColumn::kCompton ? s.comptonWidth : 1.0;
  for (const Transition& t : column.transitions) {
    const double esc = escape ? t.escapeFraction : 0.0;
    addGaussian(t.energyKeV, width, s, first, end, area * t.weight * (1.0 - esc), out, outStart, outEnd);
    if (esc > 0) {
      ShapeParameters shifted = s;
      // The escape peak keeps the parent's width in channels less the Fano share of the
      // escaping photon: evaluated at the escape energy.
      addGaussian(t.energyKeV - escapeKeV, width, shifted, first, end, area * t.weight * esc, out, outStart, outEnd);
    }
  }
}

}  // namespace

void addPeakColumn(const PeakColumn& column, const ShapeParameters& shape, bool escape, double escapeKeV,
                   unsigned int first, unsigned int end, double area, std::vector<double>& out) {
  addColumn(column, shape, escape, escapeKeV, first, end, area, out.data(), first, end);
}

void buildPeakColumn(const PeakColumn& column, const ShapeParameters& s, bool escape, double escapeKeV,
                     unsigned int first, unsigned int end, SparseColumn& out) {
  // The support: every transition's ±5 sigma (Compton wider), and its escape peak.
  DetectorResolution r;
  r.noiseEV = s.noiseEV;
  r.fano = s.fano;
  const double width = column.kind == PeakColumn::kCompton ? s.comptonWidth : 1.0;
  double lo = 1e300, hi = -1e300;
  auto extend = [&](double e) {
    const double half = kCutSigmas * r.fwhmKeV(e) / kFwhmPerSigma * width;
    lo = std::min(lo, (e - half - s.offsetKeV) / s.gainKeV);
    hi = std::max(hi, (e + half - s.offsetKeV) / s.gainKeV);
  };
  for (const Transition& t : column.transitions) {
    extend(t.energyKeV);
    if (escape && t.escapeFraction > 0) extend(t.energyKeV - escapeKeV);
  }
  if (s.tailFraction > 0) lo -= 12 * s.tailSlopeKeV / s.gainKeV;
  const double l = std::max<double>(first, std::floor(lo));
  const double h = std::min<double>(static_cast<double>(end), std::ceil(hi) + 1.0);
  out.values.clear();
  if (!(h > l)) {
    out.start = first;
    return;
  }
  out.start = static_cast<unsigned int>(l);
  const unsigned int stop = static_cast<unsigned int>(h);
  out.values.assign(stop - out.start, 0.0);
  addColumn(column, s, escape, escapeKeV, first, end, 1.0, out.values.data(), out.start, stop);
}

void addPileUpPeaks(const std::vector<const PeakColumn*>& columns, const std::vector<double>& areas,
                    unsigned int count, double liveTime, double scale, const ShapeParameters& shape,
                    unsigned int first, unsigned int end, std::vector<double>& out) {
  if (!(liveTime > 0) || !(scale > 0)) return;
  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < columns.size(); ++k)
    if (areas[k] > 0) order.push_back(k);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return areas[a] > areas[b]; });
  if (order.size() > count) order.resize(count);
  // A pair's share below this is left out (a millionth of the pair's counts at most).
  constexpr double kSmallestShare = 1e-6;
  for (std::size_t a = 0; a < order.size(); ++a)
    for (std::size_t b = a; b < order.size(); ++b) {
      const PeakColumn& ci = *columns[order[a]];
      const PeakColumn& cj = *columns[order[b]];
      const double counts = (a == b ? 1.0 : 2.0) * scale * areas[order[a]] * areas[order[b]] / liveTime;
      PeakColumn sum;
      for (const Transition& ti : ci.transitions)
        for (const Transition& tj : cj.transitions) {
          Transition t;
          t.energyKeV = ti.energyKeV + tj.energyKeV;
          t.weight = ti.weight * tj.weight;
          if (t.weight >= kSmallestShare) sum.transitions.push_back(t);
        }
      addColumn(sum, shape, false, 0.0, first, end, counts, out.data(), first, end);
    }
}

std::vector<SparseColumn> backgroundColumns(double lowKeV, double highKeV, double spacing, const EnergyScale& scale,
                                            unsigned int first, unsigned int end) {
  std::vector<SparseColumn> out;
  if (!(spacing > 0) || !(highKeV > lowKeV)) return out;
  // Knots `spacing` apart at low energy, widening to a tenth of the energy above, so that the
  // background stays stiffer than the broad Compton peak at the top of the spectrum.
  auto step = [spacing](double e) { return std::max(spacing, 0.1 * e); };
  std::vector<double> t;
  double k = lowKeV - 2.0 * spacing;
  while (k < highKeV + 2.0 * step(k)) {
    t.push_back(k);
    k += step(std::max(k, 0.0));
  }
  t.push_back(k);
  // Quadratic B-splines by the Cox-de Boor recursion.
  for (std::size_t b = 0; b + 3 < t.size(); ++b) {
    SparseColumn c;
    c.start = end;
    for (unsigned int i = first; i < end; ++i) {
      const double x = scale.energyAt(i);
      if (x <= t[b] || x >= t[b + 3]) continue;
      double n0[3];
      for (int j = 0; j < 3; ++j) n0[j] = (x >= t[b + j] && x < t[b + j + 1]) ? 1.0 : 0.0;
      double n1[2];
      for (int j = 0; j < 2; ++j)
        n1[j] = (x - t[b + j]) / (t[b + j + 1] - t[b + j]) * n0[j] +
                (t[b + j + 2] - x) / (t[b + j + 2] - t[b + j + 1]) * n0[j + 1];
      const double v = (x - t[b]) / (t[b + 2] - t[b]) * n1[0] + (t[b + 3] - x) / (t[b + 3] - t[b + 1]) * n1[1];
      if (v > 0) {
        if (c.start == end) c.start = i;
        c.values.resize(i - c.start + 1, 0.0);
        c.values[i - c.start] = v;
      }
    }
    if (!c.values.empty()) out.push_back(std::move(c));
  }
  return out;
}

}  // namespace detail
}  // namespace calyx
