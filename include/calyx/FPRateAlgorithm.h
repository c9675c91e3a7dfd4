/// @file
/// The quantification engine: measured line rates to a sample composition by the
/// fundamental-parameters method, over one or more beams (tube settings) that share one
/// composition, with the light-element share estimated from Compton scatter.
///
/// Typical use, for one measurement:
///   1. setAllLinesNotInUse(); per beam a RateMapper over the measured lines and setRates();
///   2. doInitialGuess(0);
///   3. process(lastBeam) repeatedly (the caller chooses the passes and the stop rule);
///   4. getCompound().
///
/// Rates are in the instrument's unit (counts per second, say); a line's calibration factor
/// maps the model's efficiency-weighted rate onto it. Beam indices are positions in the
/// configuration's "beams" list and are not range-checked. Failures are logged (a warning for
/// an item skipped, an error for a failed operation) and not thrown; only JsonCpp's type
/// errors and XRFLine::create's std::out_of_range pass through the file readers.
/// One thread at a time per engine; the rate computation inside is parallel.
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

/// The engine: the models of every beam over one shared composition, its analysis lines and
/// the per-beam light-element tables. Made only by Builder::create, owned by the caller.
class CALYX_EXPORT FPRateAlgorithm {
 public:
  /// The identity of a line in the engine: beam index and line.
  struct CALYX_EXPORT LineKey {
    LineKey(unsigned int b, const XRFLine& l) : beam(b), line(l) {}
    unsigned int beam;  ///< beam index
    XRFLine line;
    bool operator<(const LineKey& o) const { return beam != o.beam ? beam < o.beam : line < o.line; }
    bool operator==(const LineKey& o) const { return beam == o.beam && line == o.line; }
    bool operator!=(const LineKey& o) const { return !(*this == o); }
  };

  /// One line of one beam as the quantification sees it. Pointers lead into the shared
  /// chemistry (fraction, uncertainty) and into the beam's model (theoreticalRate).
  struct CALYX_EXPORT AnalysisLine {
    AnalysisLine(unsigned int beam, Sherman::Line& line);
    unsigned int beam;                ///< beam index
    XRFLine line;
    double* fraction;                 ///< the element's mass fraction in the chemistry
    double* uncertainty;              ///< its absolute uncertainty
    double measuredRate = 0.0;        ///< set by RateMapper::setRates
    double measuredUncertainty = 0.0; ///< absolute, same unit as the rate
    const double* theoreticalRate;    ///< the model's last computed rate of the line
    double calibrationFactor = 1.0;   ///< measured / efficiency-weighted model rate
    double initialGuessFactor = 1.0;  ///< divisor of the measured rate in the first guess
    bool inUse = true;                ///< corrected in this measurement (see RateMapper)

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
    void setRates() {}  ///< no rates: does nothing
    /// Per position of the caller's list, the index into analysisLines, or -1.
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
  /// Starts a measurement: no line takes part until a RateMapper marks it in use.
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
  /// What solve() did.
  struct CALYX_EXPORT SolveResult {
    int passes = 0;          ///< model evaluations of every beam (one process() pass each)
    bool converged = false;  ///< the largest relative residual fell to the tolerance
    double residual = 0.0;   ///< the largest |ln(m/p) - ln c| at the end
  };
  /// Opt-in solver of the same fixed point as repeated process(lastBeam) calls, with steps
  /// that cannot overshoot: a Newton step on the logarithms of the measured elements'
  /// fractions (and the light elements' common factor) with the Jacobian of the rates taken
  /// by finite differences of the model, damped by a backtracking line search on the
  /// residuals. The fixed point: every element's calibrated prediction equals its measured
  /// rate up to one common scale c (the rates' scale against the calibration), the light
  /// elements' scatter prediction likewise, fractions summing to 1. Start from
  /// doInitialGuess(). Ends with the rates computed at the final, normalised composition.
  /// Stops at `maxPasses` model passes or when every residual is below `tolerance`.
  SolveResult solve(int lastBeam, int maxPasses, double tolerance);
  /// Raises every fraction to at least 1e-8, then scales fractions and uncertainties to a
  /// sum of 1.
  void normalizeAllChem();
  /// The line step of process() on the rates last computed: in-use lines of beams
  /// 0..lastBeam (all beams for a negative index) move their element to f m / p (floor 1e-8)
  /// and set its uncertainty to f x relative measured uncertainty.
  void adjustChemByResidual(int lastBeam);
  /// An alternative line step over every in-use line: f times m / p (floor 1e-10). Not used
  /// by process().
  void adjustChemByRatio();
  /// Scales the beam's elements (of its lines and its light elements) so that all fractions
  /// add up to 1; warns and changes nothing when no non-negative scale does that.
  void normalizeBeamChem(unsigned int beam);
  /// The shared composition: every element of every beam with its fraction and uncertainty.
  Compound getCompound() const;

  // Light elements (estimated from scatter).
  /// The beam's measured scatter rate (RateMapper::setRates sets it too).
  void setLERate(unsigned int beam, double rate);
  void setLECalibrationFactor(unsigned int beam, double value);  ///< only beam 0's is used
  void setLECalibrationOffset(unsigned int beam, double value);  ///< only beam 0's is used
  /// Beam 0's light elements share 1 - (sum of the other fractions), when that is positive.
  void setLEAsBalance();
  /// The light-element step of process(): predicts beam 0's scatter rate (excitation at
  /// 20 keV x Compton share of the sample at the Compton energy of 19 keV x detector
  /// efficiency x LE factor + LE offset) and moves the light elements of beam lastBeam by
  /// the residual. Warns and changes nothing when beam 0 stops below 20 keV or the step
  /// would not be finite.
  void adjustLEChemByResidual(int lastBeam);
  /// An alternative step: beam 0's light elements move their sum by 0.05 tanh(m / p - 1).
  /// Not used by process().
  void adjustLEChemByRatio();
  /// Multiplies the beam's light elements by baseFactor + 0.05 tanh(m / predictedRate - 1),
  /// clamped to [1e-10, 1]; warns and changes nothing without a positive measured rate.
  void adjustLEChem(unsigned int beam, double predictedRate, double baseFactor);
  /// The beam's excitation intensity at 21 keV (point 20 of the default grid, found by energy in
  /// the continuum); 0 with a warning when it has none.
  double getComptonRateForBeam(unsigned int beam);

  // Calibration file (JSON): "lines" [[beam, symbol, line name or code, factor(, guess)]],
  // "LEFactors", "LEOffsets".
  /// Writes through a temporary file renamed over the target: 0 on success; 1 with an
  /// error in the log when it cannot be written (a previous file is left intact).
  int writeCalibrationFile(const char* path);
  /// 0 when read; 1 when it does not parse or has no "lines" (nothing changed then).
  /// Entries for lines the engine lacks are skipped with a warning; surplus light-element
  /// values likewise. A value of the wrong JSON type throws (earlier entries stay applied).
  int readCalibrationFile(const char* path);

  DetectorHardware detector;                   ///< copied from the builder
  std::shared_ptr<Sherman::Chemistry> chemistry;  ///< the one composition every model reads
  std::vector<Sherman> shermans;               ///< one model per beam, never reallocated
  std::vector<std::set<Element>> leElements;   ///< light elements per beam
  std::vector<double> leRates;                 ///< measured scatter rate per beam
  std::vector<double> leCalibrationFactors;    ///< per beam, 1 until calibrated
  std::vector<double> leCalibrationOffsets;    ///< per beam, 0 until calibrated
  std::vector<AnalysisLine> analysisLines;     ///< by beam, then in the model's line order

 private:
  friend class Builder;
  FPRateAlgorithm() = default;
  /// ε(E) of `detector` at each analysis line's energy, in line order: the same in every
  /// pass, so computed once, and again only when the detector or the lines change.
  const std::vector<double>& lineEfficiencies();

  DetectorHardware efficiencyDetector_;
  std::vector<double> efficiencyEnergies_;
  std::vector<double> efficiencies_;
};

/// Collects one measurement set-up (tube, detector, geometry, beams) and builds the engine.
class CALYX_EXPORT FPRateAlgorithm::Builder {
 public:
  /// One tube setting: voltage, primary filters, and what is evaluated under it.
  class CALYX_EXPORT Beam {
   public:
    /// An empty beam at `tubeKeV` kV; light-element energy not set (-1).
    explicit Beam(float tubeKeV) : tubeKeV(tubeKeV) {}

    /// A sample element without lines of its own (it absorbs, nothing more).
    Beam& addElement(const Element& element);
    /// A light element, whose share is estimated from scatter.
    Beam& addLEelement(const Element& element);
    /// Inserted as given, without checks (a line the element lacks is never modelled).
    Beam& addLine(const XRFLine& line);
    /// Adds each group (individual false) or individual line that is valid, has a positive
    /// sensitivity, lies above 1 keV, and whose line and edge energies are at most tubeKeV.
    Beam& addAllLinesFromElement(Element element, bool individual);
    /// Required (0 or more) by create() when the beam has light elements; otherwise unused.
    Beam& setLEEnergyKeV(double keV);
    /// Replaces the primary filters.
    Beam& tubeFilters(const std::vector<Filter>& filters);

    /// Reads one beam object into a new Beam owned by `out`: 0 on success, 1 on failure
    /// (with a message in the log). JsonCpp's type errors and the unknown-line-code error
    /// propagate.
    static int readBeam(const Json::Value& value, std::unique_ptr<Beam>& out);

    float tubeKeV;                 ///< tube voltage, kV
    std::vector<Filter> filters;   ///< primary filters, in file order
    std::set<Element> elements;    ///< absorbing elements without lines
    std::set<Element> leElements;  ///< light elements
    std::set<XRFLine> lines;       ///< the lines evaluated under this beam
    double leEnergyKeV = -1.0;     ///< negative: not set
    /// Opt-in ("excitationStepKeV"): the tube continuum's grid step, keV, each point holding
    /// the continuum integrated over its bin. 0: the default 1 keV grid.
    double excitationStepKeV = 0.0;
    /// Opt-in ("excitation"): the beam's excitation given as photon intensities at energies
    /// (keV, strictly ascending), replacing the tube's spectrum; the beam's filters still
    /// apply. A monochromatic beam is one energy. Empty: the tube's spectrum.
    std::vector<double> excitationEnergies;
    std::vector<double> excitationIntensities;
  };

  /// Both angles at 45 degrees, no beams; detector and tube must be set before create().
  Builder();
  Builder& detectorHardware(const DetectorHardware& detector);  ///< copied
  Builder& tubeHardware(const TubeHardware& tube);              ///< copied
  /// The sample geometry: take-off (sample to detector) and incidence (beam to sample).
  Builder& geometry(Angle takeOff, Angle incidence);
  /// Appends a copy; its position is its beam index.
  Builder& addBeam(const Beam& beam);

  /// Reads a JSON configuration file: 0 on success, 1 (or the inner reader's code) on
  /// failure with the reason in the log.
  int readConfig(const char* path);
  /// The same from a parsed document. A second call overwrites detector, tube and angles
  /// and appends its beams; on failure what was read before it stays.
  int readConfig(const Json::Value& root);
  /// Builds the engine into `out` (set only on success): 0, or non-zero with the reason
  /// in the log.
  int create(std::unique_ptr<FPRateAlgorithm>& out);

  TubeHardware tube;
  /// Opt-in (tube key "model": "ebel"): Ebel's tube model instead of the default one.
  bool ebelTube = false;
  /// Ebel model: the electrons' incidence on the anode (tube key "electronIncidence", degrees).
  Angle electronIncidence = Angle::createFromDegrees(90.0);
  /// Opt-in (top-level "photoabsorption": "subshellSum"): see Sherman::Photoabsorption.
  Sherman::Photoabsorption photoabsorption = Sherman::Photoabsorption::Total;
  Angle takeOffAngle;         ///< sample to detector
  Angle incidenceAngle;       ///< tube beam to sample
  DetectorHardware detector;
  std::vector<Beam> beams;    ///< in beam-index order
};

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
  /// the chemistry and rates at the last standard's. An unwritable debug CSV loses its rows,
  /// silently.
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
