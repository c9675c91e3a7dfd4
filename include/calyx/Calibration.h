/// @file
/// Calibration of the engine against reference samples: the standards (certified
/// composition and measured rates) and the fit of each analysis line's calibration factor and
/// of the light-element factor and offset. The regressions it uses are in Regression.h.
#ifndef CALYX_CALIBRATION_H
#define CALYX_CALIBRATION_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "calyx/Chemistry.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Regression.h"
#include "calyx/export.h"

namespace calyx {

/// A reference sample: certified composition, measured line rates per beam and line, and
/// the measured light-element (scatter) rate of beam 0.
struct CALYX_EXPORT FPRateAlgorithm::Standard {
  Standard() = default;
  void setName(const char* name) { name_ = name ? name : ""; }
  const char* name() const { return name_.c_str(); }
  bool hasLine(const LineKey& key) const { return rates.count(key) != 0; }

  Compound compound;                ///< certified mass fractions
  std::map<LineKey, double> rates;  ///< a key present counts as measured
  double leRate = 0.0;              ///< measured scatter rate of beam 0

 private:
  std::string name_;
};

/// Calibration of an engine against standards: one factor per analysis line (through-origin
/// fit of measured / predicted, weighted by the fraction squared) and the light-element
/// factor and offset of beam 0 (straight-line fit of measured vs predicted scatter).
class CALYX_EXPORT FPRateAlgorithm::Calibration {
 public:
  /// Analysis lines ordered by beam index, then by line.
  using LineSet = std::set<AnalysisLine*, bool (*)(const AnalysisLine*, const AnalysisLine*)>;

  /// Binds the engine, which must outlive the calibration.
  explicit Calibration(FPRateAlgorithm& algorithm);
  void addStandard(const Standard& standard);  ///< copied
  /// Adds every analysis line some standard measured (and its element) to the sets and
  /// marks it in use.
  void computeCalibrationSet(LineSet& lines, std::set<Element>& elements);
  /// Runs the whole calibration, tracing every step to the log (info) and to the debug CSV.
  /// Sets the factor of each line with at least one usable standard (others keep theirs,
  /// "No useable calibration points") and beam 0's light-element factor and offset; leaves
  /// the chemistry and rates at the last standard's. The debug CSV appears whole at
  /// the end (CSVWriter::ReplaceWhole); an unwritable one loses its rows, silently.
  /// A non-finite measured rate is left out of its line's fit (warning). A
  /// standard is left out of the light-element fit (warning) when its scatter cannot be
  /// predicted (a composition empty, all 0, with a negative or non-finite fraction, or with
  /// an element without atomic data, Z outside 1..107, as Element("FE") gives) or when its
  /// scatter rate is not finite. With fewer than two usable standards, or standards that
  /// scatter alike, the light-element fit is undefined: beam 0 keeps its factor and offset
  /// (warning). Refused (error) when the chemistry's arrays were resized after the build.
  void computeCalibrationFactors();
  /// The compound plus beam 0's light elements sharing 1 - Σ fractions (when positive).
  Compound createBeamCompound(const Compound& compound, const std::set<Element>& elements);

  /// Where each run writes its debug CSV (default: the platform's debug path, see README).
  void setDebugFilePath(const std::string& path) { debugFilePath_ = path; }
  /// As above; a null path is refused with an error (the path is kept).
  void setDebugFilePath(const char* path);
  const std::string& debugFilePath() const { return debugFilePath_; }
  /// The platform's default debug CSV path.
  static const char* defaultDebugFilePath();

  const std::vector<Standard>& standards() const { return standards_; }

 private:
  FPRateAlgorithm& algorithm_;
  std::vector<Standard> standards_;
  std::string debugFilePath_;
};

}  // namespace calyx

#endif  // CALYX_CALIBRATION_H
