// Spectra as the tool's input: a spectrum file of one beam fitted into that beam's line
// rates and scatter rate (the rates a rates file would hold).
#ifndef CALYX_TOOL_SPECTRUMINPUT_H
#define CALYX_TOOL_SPECTRUMINPUT_H

#include <string>
#include <vector>

#include <calyx/SpectrumFit.h>

#include "Instrument.h"
#include "JsonFormats.h"

namespace calyxtool {

/// Reads `path` (any spectrum format the library reads) and fits it as beam `beam`.
/// `liveTime` > 0 overrides the file's live time (needed for two-column text). InputError
/// naming the file when it cannot be read or fitted.
calyx::SpectrumFitResult fitSpectrumFile(Instrument& instrument, unsigned int beam, const std::string& path,
                                         double liveTime, calyx::MeasuredSpectrum* spectrum = nullptr,
                                         const calyx::SpectrumFitOptions& options = calyx::SpectrumFitOptions());
/// The fit's rates in the rates-file form (lines out of range left out, and tied lines when
/// `measuredOnly`: they follow another line and measure nothing of their own).
BeamRates beamRatesFromFit(const calyx::SpectrumFitResult& fit, const std::string& path, bool measuredOnly = false);
/// One spectrum per beam, in beam order, fitted into a rates record.
RatesRecord ratesFromSpectra(Instrument& instrument, const std::vector<std::string>& paths, double liveTime);
/// The spectra of a standard, fitted with its certified composition in the engine
/// (SpectrumFitOptions::certifiedComposition) into the rates it measures (no tied lines).
RatesRecord standardRatesFromSpectra(Instrument& instrument, const std::vector<std::string>& paths);

}  // namespace calyxtool

#endif  // CALYX_TOOL_SPECTRUMINPUT_H
