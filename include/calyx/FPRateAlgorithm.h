// The quantification engine: measured line rates to a sample composition by the
// fundamental-parameters method, over one or more beams (tube settings) that share one
// composition, with the light-element share estimated from Compton scatter.
//
// Typical use, for one measurement:
//   1. setAllLinesNotInUse(); per beam a RateMapper over the measured lines and setRates();
//   2. doInitialGuess(0);
//   3. process(lastBeam) repeatedly (the caller chooses the passes and the stop rule);
//   4. getCompound().
// One thread at a time per engine; the rate computation inside is parallel.
#ifndef CALYX_FPRATEALGORITHM_H
#define CALYX_FPRATEALGORITHM_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "calyx/Chemistry.h"
#include "calyx/Filter.h"
#include "calyx/Hardware.h"
#include "calyx/Sherman.h"
#include "calyx/XRFLine.h"
#include "calyx/export.h"

namespace Json {
class Value;
}

namespace calyx {

class CALYX_EXPORT FPRateAlgorithm {
 public:
  /// The identity of a line in the engine: beam index and line.
  struct CALYX_EXPORT LineKey {
    LineKey(unsigned int b, const XRFLine& l) : beam(b), line(l) {}
    unsigned int beam;
    XRFLine line;
    bool operator<(const LineKey& o) const { return beam != o.beam ? beam < o.beam : line < o.line; }
    bool operator==(const LineKey& o) const { return beam == o.beam && line == o.line; }
    bool operator!=(const LineKey& o) const { return !(*this == o); }
  };

  /// One line of one beam as the quantification sees it. Pointers lead into the shared
  /// chemistry (fraction, uncertainty) and into the beam's model (theoreticalRate).
  struct CALYX_EXPORT AnalysisLine {
    AnalysisLine(unsigned int beam, Sherman::Line& line);
    unsigned int beam;
    XRFLine line;
    double* fraction;
    double* uncertainty;
    double measuredRate = 0.0;
    double measuredUncertainty = 0.0;
    const double* theoreticalRate;
    double calibrationFactor = 1.0;
    double initialGuessFactor = 1.0;  ///< divisor of the measured rate in the first guess
    bool inUse = true;

    LineKey key() const { return LineKey(beam, line); }
    bool operator<(const AnalysisLine& o) const { return key() < o.key(); }
  };

  /// Maps the caller's list of lines of one beam to analysis lines once, so that rates can
  /// then be entered as plain arrays in that order.
  class CALYX_EXPORT RateMapper {
   public:
    /// Marks every matched analysis line in use; unmatched positions get index -1.
    RateMapper(FPRateAlgorithm& algorithm, unsigned int beam, const std::vector<XRFLine>& lines);
    /// Stores the beam's scatter rate and, for each matched position, the rate and its
    /// uncertainty (0 when `uncertainties` is null). Unmatched positions are not read.
    template <typename T>
    void setRates(T leRate, T* rates, T* uncertainties);
    void setRates() {}
    const std::vector<int>& indices() const { return indices_; }

   private:
    FPRateAlgorithm& algorithm_;
    unsigned int beam_;
    std::vector<int> indices_;
  };

  class Builder;
  struct Standard;
  class Calibration;

  /// The first analysis line of that beam equal to `line`, or null.
  AnalysisLine* findLine(unsigned int beam, const XRFLine& line);
  void setAllLinesNotInUse();
  /// First composition: each in-use line's element at measured rate / initialGuessFactor
  /// (floor 1e-10, also for a rate that is not finite), scaled down to a sum of 1 when
  /// above; beam 0's light elements share the rest. The argument is not used.
  void doInitialGuess(unsigned int beam);
  /// One pass: every beam's model computes its rates; normalise; light-element correction
  /// from scatter (the light elements of beam lastBeam, from beam 0's scatter rate); then
  /// each in-use line of beams 0..lastBeam scales its element's fraction by measured /
  /// calibrated prediction, an element's k lines taking a k-th of the correction each. A line
  /// whose measured rate or prediction is 0 or not finite sits out the pass (warning).
  void process(int lastBeam);
  void normalizeAllChem();
  void adjustChemByResidual(int lastBeam);
  void adjustChemByRatio();
  void normalizeBeamChem(unsigned int beam);
  Compound getCompound() const;

  // Light elements (estimated from scatter).
  void setLERate(unsigned int beam, double rate);
  void setLECalibrationFactor(unsigned int beam, double value);
  void setLECalibrationOffset(unsigned int beam, double value);
  void setLEAsBalance();
  void adjustLEChemByResidual(int lastBeam);
  void adjustLEChemByRatio();
  void adjustLEChem(unsigned int beam, double predictedRate, double baseFactor);
  double getComptonRateForBeam(unsigned int beam);

  // Calibration file (JSON): "lines" [[beam, symbol, line name or code, factor(, guess)]],
  // "LEFactors", "LEOffsets".
  /// Writes through a temporary file renamed over the target: 0 on success; 1 with an
  /// error in the log when it cannot be written (a previous file is left intact).
  int writeCalibrationFile(const char* path);
  /// 0 when read; 1 when it does not parse or has no "lines" (nothing changed then).
  int readCalibrationFile(const char* path);

  DetectorHardware detector;
  std::shared_ptr<Sherman::Chemistry> chemistry;
  std::vector<Sherman> shermans;
  std::vector<std::set<Element>> leElements;
  std::vector<double> leRates;
  std::vector<double> leCalibrationFactors;
  std::vector<double> leCalibrationOffsets;
  std::vector<AnalysisLine> analysisLines;

 private:
  friend class Builder;
  FPRateAlgorithm() = default;
};

/// Collects one measurement set-up (tube, detector, geometry, beams) and builds the engine.
class CALYX_EXPORT FPRateAlgorithm::Builder {
 public:
  /// One tube setting: voltage, primary filters, and what is evaluated under it.
  class CALYX_EXPORT Beam {
   public:
    explicit Beam(float tubeKeV) : tubeKeV(tubeKeV) {}

    Beam& addElement(const Element& element);
    Beam& addLEelement(const Element& element);
    Beam& addLine(const XRFLine& line);
    /// Adds each group (individual false) or individual line that is valid, has a positive
    /// sensitivity, lies above 1 keV, and whose line and edge energies are at most tubeKeV.
    Beam& addAllLinesFromElement(Element element, bool individual);
    Beam& setLEEnergyKeV(double keV);
    Beam& tubeFilters(const std::vector<Filter>& filters);

    /// Reads one beam object into a new Beam owned by `out`: 0 on success, 1 on failure
    /// (with a message in the log). JsonCpp's type errors and the unknown-line-code error
    /// propagate.
    static int readBeam(const Json::Value& value, std::unique_ptr<Beam>& out);

    float tubeKeV;
    std::vector<Filter> filters;
    std::set<Element> elements;
    std::set<Element> leElements;
    std::set<XRFLine> lines;
    double leEnergyKeV = -1.0;
  };

  Builder();
  Builder& detectorHardware(const DetectorHardware& detector);
  Builder& tubeHardware(const TubeHardware& tube);
  Builder& geometry(Angle takeOff, Angle incidence);
  Builder& addBeam(const Beam& beam);

  /// Reads a JSON configuration file: 0 on success, 1 (or the inner reader's code) on
  /// failure with the reason in the log.
  int readConfig(const char* path);
  int readConfig(const Json::Value& root);
  /// Builds the engine into `out` (set only on success): 0, or non-zero with the reason
  /// in the log.
  int create(std::unique_ptr<FPRateAlgorithm>& out);

  TubeHardware tube;
  Angle takeOffAngle;
  Angle incidenceAngle;
  DetectorHardware detector;
  std::vector<Beam> beams;
};

/// A reference sample: certified composition, measured line rates per beam and line, and
/// the measured light-element (scatter) rate of beam 0.
struct CALYX_EXPORT FPRateAlgorithm::Standard {
  Standard() = default;
  void setName(const char* name) { name_ = name ? name : ""; }
  const char* name() const { return name_.c_str(); }
  bool hasLine(const LineKey& key) const { return rates.count(key) != 0; }

  Compound compound;
  std::map<LineKey, double> rates;
  double leRate = 0.0;

 private:
  std::string name_;
};

/// Calibration of an engine against standards: one factor per analysis line (through-origin
/// fit of measured / predicted, weighted by the fraction squared) and the light-element
/// factor and offset of beam 0 (straight-line fit of measured vs predicted scatter).
class CALYX_EXPORT FPRateAlgorithm::Calibration {
 public:
  using LineSet = std::set<AnalysisLine*, bool (*)(const AnalysisLine*, const AnalysisLine*)>;

  /// Binds the engine, which must outlive the calibration.
  explicit Calibration(FPRateAlgorithm& algorithm);
  void addStandard(const Standard& standard);
  /// Adds every analysis line some standard measured (and its element) to the sets and
  /// marks it in use.
  void computeCalibrationSet(LineSet& lines, std::set<Element>& elements);
  /// Runs the whole calibration, tracing every step to the log and to the debug CSV.
  void computeCalibrationFactors();
  /// The compound plus beam 0's light elements sharing 1 - Σ fractions (when positive).
  Compound createBeamCompound(const Compound& compound, const std::set<Element>& elements);

  /// Where each run writes its debug CSV (default: the platform's debug path, see README).
  void setDebugFilePath(const std::string& path) { debugFilePath_ = path; }
  const std::string& debugFilePath() const { return debugFilePath_; }
  /// The platform's default debug CSV path.
  static const char* defaultDebugFilePath();

  const std::vector<Standard>& standards() const { return standards_; }

 private:
  FPRateAlgorithm& algorithm_;
  std::vector<Standard> standards_;
  std::string debugFilePath_;
};

extern template CALYX_EXPORT void FPRateAlgorithm::RateMapper::setRates<float>(float, float*, float*);
extern template CALYX_EXPORT void FPRateAlgorithm::RateMapper::setRates<double>(double, double*, double*);

}  // namespace calyx

#endif  // CALYX_FPRATEALGORITHM_H
