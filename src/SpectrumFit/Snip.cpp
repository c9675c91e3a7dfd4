// SNIP background and the seeded Poisson sampler of the synthetic spectra.
#include <algorithm>
#include <cmath>

#include "calyx/SpectrumFit.h"

namespace calyx {

std::vector<double> snipBackground(const std::vector<double>& counts, unsigned int window) {
  // Log-log-square-root transform: compresses peaks so that clipping by the mean of the
  // neighbours at +-p follows the continuum's curvature (Morhac and Matousek 2008).
  const std::size_t n = counts.size();
  std::vector<double> v(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double y = std::isfinite(counts[i]) && counts[i] > 0 ? counts[i] : 0.0;
    v[i] = std::log(std::log(std::sqrt(y + 1.0) + 1.0) + 1.0);
  }
  // Decreasing windows (Morhac's order) keep the background smooth under wide peaks.
  for (unsigned int p = std::max(1u, window); p >= 1; --p) {
    w = v;
    for (std::size_t i = p; i + p < n; ++i) w[i] = std::min(v[i], 0.5 * (v[i - p] + v[i + p]));
    v.swap(w);
  }
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::exp(std::exp(v[i]) - 1.0) - 1.0;
    out[i] = std::max(0.0, a * a - 1.0);
  }
  return out;
}

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

PoissonSampler::PoissonSampler(std::uint64_t seed) {
  for (std::uint64_t& s : s_) s = splitmix64(seed);
}

double PoissonSampler::uniform() {
  // xoshiro256** (D. Blackman and S. Vigna, 2018).
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return (static_cast<double>(result >> 11) + 0.5) * 0x1.0p-53;
}

std::uint64_t PoissonSampler::poisson(double mean) {
  if (!(mean > 0) || !std::isfinite(mean)) return 0;
  if (mean < 10.0) {
    // Multiplication of uniforms (inversion).
    const double limit = std::exp(-mean);
    std::uint64_t k = 0;
    double p = uniform();
    while (p > limit) {
      ++k;
      p *= uniform();
    }
    return k;
  }
  // PTRS: transformed rejection with squeeze (Hoermann 1993).
  const double slam = std::sqrt(mean);
  const double loglam = std::log(mean);
  const double b = 0.931 + 2.53 * slam;
  const double a = -0.059 + 0.02483 * b;
  const double invalpha = 1.1239 + 1.1328 / (b - 3.4);
  const double vr = 0.9277 - 3.6224 / (b - 2.0);
  for (;;) {
    const double u = uniform() - 0.5;
    const double v = uniform();
    const double us = 0.5 - std::fabs(u);
    const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
    if (us >= 0.07 && v <= vr) return static_cast<std::uint64_t>(k);
    if (k < 0 || (us < 0.013 && v > us)) continue;
    if (std::log(v) + std::log(invalpha) - std::log(a / (us * us) + b) <= -mean + k * loglam - std::lgamma(k + 1.0))
      return static_cast<std::uint64_t>(k);
  }
}

}  // namespace calyx
