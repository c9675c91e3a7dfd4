/// @file
/// A measured spectrum from a multichannel analyser with its free-form metadata, as a
/// text file:
///
///     Energy scale offset = 0        <- header: key = value lines (eV for the energy scale)
///     Energy scale slope = 10
///     Livetime = 30.5
///                                    <- an empty line ends the header
///     3                              <- channel count
///     1                              <- one value per channel
///     2
///     3
///
/// The spectrum is a LinearSpectrum<double> in keV: first energy = offset / 1000, step =
/// slope / 1000. Numbers read from the file pass through single precision. The format in
/// full: docs/file-formats.md.
#ifndef CALYX_MCAFILE_H
#define CALYX_MCAFILE_H

#include <map>
#include <memory>
#include <string>

#include "calyx/Spectrum.h"
#include "calyx/export.h"

namespace calyx {

/// One spectrum and its metadata (key to value, ordered by key). A plain value: copies
/// share the spectrum object; one thread at a time per object.
class CALYX_EXPORT MCAFile {
 public:
  /// Reads `path` into `target`: header entries are added to (overwrite) its metadata; on
  /// success its spectrum is replaced and 0 returned. 1 (with an error in the log) when the
  /// channel count does not parse (a signed count included), the energy scale is missing
  /// or there are more values than a spectrum can hold; the spectrum then stays. The count
  /// only sizes the first allocation (capped), never the number of values read.
  static int load(const std::string& path, MCAFile& target);
  /// As above; a null path is refused (1, with an error in the log).
  static int load(const char* path, MCAFile& target);
  /// Writes the file (metadata in key order, then the energy scale of the spectrum, an empty
  /// line, the count and the values): 0. 1 with an error in the log, and nothing written,
  /// for an object without a spectrum, a file that cannot be created, or metadata the
  /// format cannot carry back unchanged: a key or value holding a line break, a key holding
  /// "=", a key or value with blanks (white space) at either end. A write that fails
  /// part-way also gives 1.
  int write(const std::string& path) const;
  /// As above; a null path is refused (1, with an error in the log).
  int write(const char* path) const;

  /// The spectrum (shared, not copied), or null before a load or setSpectrum().
  std::shared_ptr<LinearSpectrum<double>> getSpectrum() const { return spectrum_; }
  /// Stores a copy of `spectrum` (sharing its values until either is written).
  void setSpectrum(const LinearSpectrum<double>& spectrum);
  const std::map<std::string, std::string>& getMetadata() const { return metadata_; }
  void setMetadata(const std::string& key, const std::string& value);  ///< sets or overwrites
  /// "Livetime" as a number (single precision), or -1.0 when absent.
  double getLivetime() const;

 private:
  std::shared_ptr<LinearSpectrum<double>> spectrum_;
  std::map<std::string, std::string> metadata_;
};

}  // namespace calyx

#endif  // CALYX_MCAFILE_H
