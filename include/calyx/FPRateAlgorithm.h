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
  /// then be entered as plain arrays in that order. It keeps a reference to the engine,
  /// which must outlive it (nothing can check that).
  class CALYX_EXPORT RateMapper {
   public:
    /// Marks every matched analysis line in use; unmatched positions get index -1.
    RateMapper(FPRateAlgorithm& algorithm, unsigned int beam, const std::vector<XRFLine>& lines);
    /// Stores the beam's scatter rate and, for each matched position, the rate and its
    /// uncertainty (0 when `uncertainties` is null; a negative or non-finite one is taken
    /// as 0, with a warning). Unmatched positions are not read; both arrays may be null when
    /// nothing matched. A null `rates` with matched lines is refused with an error: those
    /// lines are taken out of use (no earlier rate is reused), the scatter rate is stored.
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

  /// What the last process() did, for a host that must tell a converged quantification from
  /// one the engine could not work on. Counts cover the in-use lines of beams 0..lastBeam.
  struct CALYX_EXPORT PassReport {
    /// Lines whose element's fraction the pass corrected.
    unsigned int corrected = 0;
    /// Lines the pass could not correct: a measured rate that is negative, 0 or not finite,
    /// or a prediction that is 0 or not finite (each logged as a warning, but for a negative
    /// rate, which the step leaves out by design).
    unsigned int skipped = 0;
    /// True when the light elements were to be moved from scatter and the step could not
    /// (a warning says why); false when they were moved or there are none.
    bool lightElementsSkipped = false;
    /// Every mass fraction of the composition is finite after the pass.
    bool finite = true;
  };

  // Analysis lines point into the models and the chemistry: a copy would go on reading the
  // original's. A move keeps the models' and the chemistry's storage where it was.
  FPRateAlgorithm(const FPRateAlgorithm&) = delete;
  FPRateAlgorithm& operator=(const FPRateAlgorithm&) = delete;
  FPRateAlgorithm(FPRateAlgorithm&&) = default;
  FPRateAlgorithm& operator=(FPRateAlgorithm&&) = default;
  ~FPRateAlgorithm() = default;

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
  /// whose measured rate is 0, negative or not finite, or whose prediction is 0 or not
  /// finite, sits out the pass (warning).
  /// lastPass() tells what the pass did: a quantification is sound only when its last pass
  /// corrected every line in use (skipped 0, corrected above 0), did not skip the light
  /// elements and left the composition finite.
  void process(int lastBeam);
  /// The report of the last process() (all zero before the first).
  const PassReport& lastPass() const { return lastPass_; }
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
  /// How a whole quantification (quantify()) ended.
  struct CALYX_EXPORT QuantifyOutcome {
    int passes = 0;            ///< model passes done
    /// Sound: the fractions stopped moving (by at most the tolerance) and the last pass
    /// corrected every line in use and, where configured, the light elements (robust solver:
    /// every residual below the tolerance).
    bool converged = false;
    double lastChange = 0.0;   ///< largest change of a fraction in the last pass (robust: residual spread)
    unsigned int skippedLines = 0;      ///< in-use lines the last pass could not correct
    bool lightElementsSkipped = false;  ///< the last pass could not correct the light elements
    /// A pass corrected no line (every measured rate or prediction 0 or not finite): the
    /// composition is no result.
    bool noLineCorrected = false;
    /// Not empty when the fractions ran away (a fraction not finite or outside [-1, 2], or
    /// their sum above 2): what shows it, e.g. "Cr at 1.2e+50 mass %". The composition is no
    /// result then.
    std::string divergence;
    /// True when getCompound() holds a composition to report (converged or not).
    bool hasResult() const { return !noLineCorrected && divergence.empty(); }
  };
  /// A whole quantification of the rates set through RateMapper: doInitialGuess(), then
  /// process(lastBeam) until no fraction changes by more than `tolerance` (at most
  /// `maxPasses` passes), or with `robust` solve(). Stops at once when a pass corrects no
  /// line or the composition stops being finite. The composition stays in the chemistry.
  QuantifyOutcome quantify(int lastBeam, int maxPasses, double tolerance, bool robust = false);
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
  /// The light-element step of process(): predicts beam 0's scatter rate for the current
  /// composition (predictedScatterRate) and moves the light elements of beam lastBeam by
  /// the residual. Warns and changes nothing when beam 0's measured scatter rate is 0 or
  /// below or not finite, or when the step would not be finite.
  void adjustLEChemByResidual(int lastBeam);
  /// An alternative step: beam 0's light elements move their sum by 0.05 tanh(m / p - 1),
  /// p = excitation at 20 keV x Compton share at the Compton energy of 20 keV x LE factor.
  /// Not used by process().
  void adjustLEChemByRatio();
  /// The uncalibrated scatter prediction of the light-element model for `compound`: the
  /// beam's tube intensity at 20 keV (the continuum point of that energy) x the Compton share
  /// of the compound's attenuation at the Compton energy of 19 keV x detector efficiency at
  /// that energy, the Compton angle being take-off + incidence. The residual step, the
  /// calibration and any host use this one function. Only beam 0's enters the engine;
  /// create refuses light elements unless hasScatterModel(0). Not a number when the beam's
  /// continuum has no 20 keV point (or there is no such beam).
  double scatterModelRate(const Compound& compound, unsigned int beam = 0) const;
  /// scatterModelRate x the beam's LE factor + the beam's LE offset.
  double predictedScatterRate(const Compound& compound, unsigned int beam = 0) const;
  /// True when the beam's continuum has a point at 20 keV with an intensity above 0 (the
  /// tube voltage exceeds 20 kV), so that scatterModelRate can predict scatter.
  bool hasScatterModel(unsigned int beam = 0) const;
  /// Multiplies the beam's light elements by baseFactor + 0.05 tanh(m / predictedRate - 1),
  /// clamped to [1e-10, 1]; warns and changes nothing without a positive measured rate.
  void adjustLEChem(unsigned int beam, double predictedRate, double baseFactor);
  /// The beam's excitation intensity at 21 keV (its continuum point); 0 with a warning when
  /// its continuum stops below.
  double getComptonRateForBeam(unsigned int beam);

  // Calibration file (JSON): "lines" [[beam, symbol, line name or code, factor(, guess)]],
  // "LEFactors", "LEOffsets".
  /// Writes through a temporary file renamed over the target: 0 on success; 1 with an
  /// error in the log when it cannot be written, when the path is null, or when a factor or
  /// offset is not finite (JSON cannot carry it); a previous file is left intact.
  int writeCalibrationFile(const char* path);
  /// 0 when read; 1 with an error naming the fault, and nothing changed, when the path is
  /// null, the file does not parse (nesting too deep included) or has no "lines", or a
  /// value is out of range: a line's factor or guess factor not above 0, a light-element
  /// factor not above 0, any of them above 1e30 or not finite, an offset beyond ±1e30.
  /// Every entry is checked before any is applied. Entries for lines the engine lacks are
  /// skipped with a warning; surplus light-element values likewise. A value of the wrong
  /// JSON type throws Json::LogicError (nothing applied then either).
  int readCalibrationFile(const char* path);

  DetectorHardware detector;                   ///< copied from the builder
  /// The one composition every model reads. Its arrays must keep their size: the analysis
  /// lines and the models point into them, and each step refuses (error) once they moved.
  std::shared_ptr<Sherman::Chemistry> chemistry;
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
  /// Index, in the beam's excitation spectrum, of the point at `energyKeV` on its continuum
  /// grid (the tube lines that follow the continuum are not searched); -1 when the
  /// continuum has no point there or there is no such beam.
  int continuumPoint(unsigned int beam, double energyKeV) const;
  /// The light-element step; false when it had light elements to move and could not.
  bool correctLightElements(int lastBeam);
  /// The line step; counts what it corrected and skipped into `report`.
  void correctLines(int lastBeam, PassReport& report);

  PassReport lastPass_;
  /// Per beam, how many points of its excitation spectrum (at the front) are the continuum.
  std::vector<unsigned int> continuumSizes_;

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
    /// (with a message in the log): not an object, a filter formula that does not parse, an
    /// unknown element symbol ("allLines", "lines", "LEElements") or line name ("lines").
    /// JsonCpp's type errors and the unknown-line-code error propagate.
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
  /// in the log. Refused (1, the message naming the key or beam and the value):
  ///  - a tube voltage above 800 kV (xraylib's cross sections end there) or not a number;
  ///  - light elements without an LE energy;
  ///  - light elements in any beam while beam 0's tube gives no intensity at 20 keV (a
  ///    voltage of 20 kV or less), where the scatter model reads it;
  ///  - a take-off or incidence angle (sample or tube) outside (0, 90] degrees;
  ///  - a detector thickness not above 0 or not finite;
  ///  - a detector, anode or window element outside 1..98 (xraylib's data; a window of
  ///    thickness 0 may name element 0), a window thickness below 0 or not finite;
  ///  - a detector that absorbs nothing at the highest line energy (window opaque, crystal
  ///    too thin);
  ///  - a beam with lines or light elements whose excitation is 0 at every energy;
  ///  - a cross section a model tabulated that is missing (0) or not finite, or an
  ///    excitation value that is not finite.
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

extern template CALYX_EXPORT void FPRateAlgorithm::RateMapper::setRates<float>(float, float*, float*);
extern template CALYX_EXPORT void FPRateAlgorithm::RateMapper::setRates<double>(double, double*, double*);

}  // namespace calyx

#endif  // CALYX_FPRATEALGORITHM_H
