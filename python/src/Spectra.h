// Spectra in Python: a spectrum read from a file (any format the library reads) or given as
// numpy counts, and the fit of one beam's spectrum into line rates.
#ifndef CALYX_PYTHON_SPECTRA_H
#define CALYX_PYTHON_SPECTRA_H

#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include <calyx/SpectrumFit.h>

#include "Core.h"

namespace calyxpy {

/// Counts on a uniform energy scale (channel i at offset + slope x i, keV) with the live and
/// real time (negative when unknown) and the format it was read in ("" when made in Python).
struct SpectrumRecord {
  std::vector<double> counts;
  double offset = 0.0;
  double slope = 0.0;
  double liveTime = -1.0;
  double realTime = -1.0;
  std::string format;
  std::string source;  ///< the file, for messages

  calyx::LinearSpectrum<double> linear() const;
};

/// Reads any spectrum format of the library; InputError naming the file when it cannot.
SpectrumRecord readSpectrum(const std::string& path);
/// A path, a Spectrum, or counts (with offset and slope); live_time overrides the record's.
/// InputError when no positive live time is known.
SpectrumRecord toSpectrum(pybind11::handle spectrum, pybind11::handle offset, pybind11::handle slope,
                          pybind11::handle liveTime);

struct FitRecord {
  calyx::SpectrumFitResult fit;
};

/// The fit's rates as a beam of a measurement (lines outside the fitted range left out).
BeamMeasurement beamFromFit(const calyx::SpectrumFitResult& fit);

/// Fits `spectrum` as beam `beam` of `engine`; InputError naming the source when the fit
/// cannot be set up or the spectrum not fitted.
calyx::SpectrumFitResult fitSpectrum(const calyx::FPRateAlgorithm& engine, const calyx::TubeHardware& tube,
                                     unsigned int beam, const SpectrumRecord& spectrum);

void bindSpectra(pybind11::module_& m);

}  // namespace calyxpy

#endif  // CALYX_PYTHON_SPECTRA_H
