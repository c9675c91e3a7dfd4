/// @file
/// The Sherman model: theoretical fluorescence rates of an infinitely thick, homogeneous
/// sample under one excitation beam, with primary and secondary fluorescence.
///
/// Model: J. Sherman, Spectrochim. Acta 7 (1955) 283; the secondary-fluorescence term in the
/// form of T. Shiraiwa and N. Fujino, Jpn. J. Appl. Phys. 5 (1966) 886 (also used by fisx,
/// after D.K.G. de Boer, X-Ray Spectrom. 19 (1990) 145). Atomic data from xraylib.
///
///     rate_i = c_i S_i Σ_{j: E_j > B_i} τ_i(E_j) I_j / (μs(E_j)/sin ψin + μs(L_i)/sin ψout)
///              x (1 + Σ_{k: L_k > B_i, E_j > B_k} c_k ½ S_k τ_k(E_j) τ_i(L_k) / τ_i(E_j) (Pin + Pout))
///     with μs(E) = Σ_e c_e μ_e(E), Pin = sin ψin ln(1 + μs(E_j)/(μs(L_k) sin ψin)) / μs(E_j),
///     Pout = sin ψout ln(1 + μs(L_i)/(μs(L_k) sin ψout)) / μs(L_i).
#ifndef CALYX_SHERMAN_H
#define CALYX_SHERMAN_H

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "calyx/Chemistry.h"
#include "calyx/Spectrum.h"
#include "calyx/XRFLine.h"
#include "calyx/export.h"

namespace calyx {

/// The fundamental-parameter factor of a line: S = R (1 - 1/J) W, with R the radiative rate
/// (group lines summed over their transitions), J the shell's jump ratio and W the
/// fluorescence yield including Coster-Kronig transfers. xraylib data. 0 for a line the
/// element lacks (where xraylib has no jump ratio the product would be NaN or infinite).
CALYX_EXPORT double lineSensitivity(const XRFLine& line);

/// The model of one beam: its lines, the shared chemistry it reads (`chemistry`), its
/// excitation spectrum (`excitation`, energies in keV) and per-line results in `lines`
/// (`rate`, relative to the excitation's intensity scale). computeRates() fills the rates
/// (it logs only a warning when the excitation's size changed since the build). Threads: one caller thread at a time per model, and no thread may
/// change the shared chemistry while a model that reads it computes.
class CALYX_EXPORT Sherman {
 public:
  /// Photoabsorption data of the model's τ and μ: `Total` is xraylib's CS_Photo (the default);
  /// `SubshellSum` takes xraylib's sum over the subshells, CS_Photo_Total, for Z = 19-56 (and
  /// μ = that sum + Rayleigh + Compton there), where it is the better datum (CS_Photo runs up
  /// to 13 % high above the K edges of K to Zn); elsewhere the sum misses outer shells and
  /// CS_Photo stays.
  enum class Photoabsorption { Total, SubshellSum };

  /// The composition that every beam's model reads: one fraction and uncertainty per
  /// element, elements in ascending atomic number, fixed at construction. The arrays are
  /// never resized, so references into them stay valid: the models' lines and the engine's
  /// analysis lines point into them (a host must not resize them; the engine and the models
  /// check the sizes before they compute and refuse, with an error, when they changed).
  class CALYX_EXPORT Chemistry {
   public:
    /// The elements in ascending atomic number, each at fraction 0 and uncertainty 0.
    explicit Chemistry(const std::set<Element>& elements);

    /// Position of the element (binary search), or -1.
    int getIndex(const Element& element) const;
    bool hasElement(const Element& element) const;
    /// Stores fraction and uncertainty; false without change when the fraction is outside
    /// [0, 1] or not a number, or the element is absent. An uncertainty that is negative or
    /// not finite is stored as 0 (unknown), with a warning.
    bool set(const Element& element, double fraction, double uncertainty);
    /// Zeroes every entry, then stores the compound's entries; an element not held is
    /// skipped with the warning "cannot set chem for <symbol>".
    void setCompound(const Compound& compound);

    std::vector<Element> elements;      ///< ascending atomic number
    std::vector<double> fractions;      ///< mass fractions, same order
    std::vector<double> uncertainties;  ///< absolute, same order
  };

  /// One modelled line, with references into the chemistry's arrays.
  struct CALYX_EXPORT Line {
    Line(const XRFLine& line, double sensitivity, double& fraction, double& uncertainty);

    XRFLine line;
    double sensitivity;   ///< lineSensitivity(line)
    double& fraction;     ///< the element's entry in the chemistry
    double& uncertainty;  ///< the element's uncertainty in the chemistry
    double rate = 0.0;  ///< 0 until the first computeRates()
  };

  /// Assembles one model: a shared chemistry, an excitation spectrum and a set of lines.
  class CALYX_EXPORT Builder {
   public:
    /// Angles default to 45 degrees. The spectrum may be null (create() then fails).
    Builder(const std::shared_ptr<Chemistry>& chemistry,
            const std::shared_ptr<SpectrumBase<double>>& excitation);

    Builder& takeOffAngle(Angle angle);    ///< sample to detector
    Builder& incidenceAngle(Angle angle);  ///< tube beam to sample
    /// Adds a valid line of an element the chemistry holds; otherwise warns
    /// "cannot add line: [<symbol>:<energy>]". A repeated line changes nothing.
    Builder& addXRFLine(const XRFLine& line);
    /// The photoabsorption data (default Total).
    Builder& photoabsorption(Photoabsorption data);
    /// Adds each group (individual false) or individual line of the element that is valid,
    /// has a positive sensitivity and whose line and edge energies the excitation reaches.
    /// Needs an excitation spectrum.
    Builder& addAllLinesFromElement(const Element& element, bool individual);
    /// Builds into `target` (a default-made model): 0 on success; 1 with the error
    /// "missing excitation spectrum" when there is none (target untouched).
    int create(Sherman& target);

   private:
    std::shared_ptr<Chemistry> chemistry_;
    std::shared_ptr<SpectrumBase<double>> excitation_;
    std::set<XRFLine> lines_;
    Angle takeOffAngle_;
    Angle incidenceAngle_;
    Photoabsorption photoabsorption_ = Photoabsorption::Total;
  };

  Sherman() = default;
  Sherman(const Sherman&) = default;
  Sherman(Sherman&&) = default;
  Sherman& operator=(const Sherman&) = delete;
  ~Sherman() = default;

  /// The excitation spectrum (no new share).
  const SpectrumBase<double>* excitationSpectrum() const { return excitation.get(); }
  const Angle& takeOffAngle() const { return takeOffAngle_; }
  const Angle& incidenceAngle() const { return incidenceAngle_; }

  /// Recomputes every line's rate for the chemistry's current fractions: 0. 1 with an
  /// error in the log, nothing computed, when !linesMatchChemistry().
  /// The per-line loop runs on OpenMP threads (small models stay on the calling thread);
  /// results are the same bits for any thread count. Everything that does not depend on the
  /// composition was tabulated by Builder::create at the excitation's energies then: later
  /// changes of the spectrum's values are seen, changes of its energies are not.
  int computeRates();
  /// True when every line still refers into the chemistry's arrays, and these have one
  /// entry per element (false once a host resized them after the build).
  bool linesMatchChemistry() const;
  /// Secondary-fluorescence term of analyte line i enhanced by line k at excitation point j,
  /// per unit fraction of k's element, from the attenuation left by the last computeRates().
  double secondaryFluorescense(unsigned int i, unsigned int k, unsigned int j) const;
  /// Empty when every atomic datum tabulated at the build is usable: attenuation
  /// coefficients finite and above 0, photoabsorption cross sections finite and not
  /// negative. Otherwise the first fault, e.g. "no attenuation coefficient of Fe at 801 keV"
  /// (xraylib gives 0 where it has no data, which the rates would divide by).
  std::string dataFault() const;

  std::shared_ptr<Chemistry> chemistry;
  std::shared_ptr<SpectrumBase<double>> excitation;
  std::vector<Line> lines;

  // Caches of the model, read-only outside it.
  unsigned int binCount() const { return binCount_; }  ///< excitation points when the model was built
  /// μs at each line energy, cm²/g, from the last computeRates().
  const std::vector<double>& lineAttenuation() const { return lineAttenuation_; }
  /// μs at each excitation energy, cm²/g, from the last computeRates().
  const std::vector<double>& binAttenuation() const { return binAttenuation_; }
  /// τ(Z_line, E_j), row-major, stride binCount().
  const std::vector<double>& photoTable() const { return photoTable_; }

 private:
  struct Tables;  // composition-independent tables (Sherman/Tables.h), shared by copies
  /// Fills photoTable and the tables from the lines, angles and excitation energies.
  void buildTables();

  Angle takeOffAngle_;
  Angle incidenceAngle_;
  Photoabsorption photoabsorption_ = Photoabsorption::Total;
  std::shared_ptr<const Tables> tables_;
  std::vector<double> scratch_;  ///< per-call terms, kept between calls to spare allocations
  unsigned int binCount_ = 0;
  std::vector<double> lineAttenuation_;
  std::vector<double> binAttenuation_;
  std::vector<double> photoTable_;
};

/// Σ w σC(E) / Σ w μ(E) over the chemistry's current fractions: the Compton share of the
/// attenuation (as comptonScatterCoefficient of a Compound, Scatter.h).
CALYX_EXPORT double comptonScatterCoefficient(const Sherman::Chemistry& chemistry, double energyKeV);
/// Σ w σR(E) / Σ w μ(E) over the chemistry's current fractions: the Rayleigh share.
CALYX_EXPORT double rayleahScatterCoefficient(const Sherman::Chemistry& chemistry, double energyKeV);

}  // namespace calyx

#endif  // CALYX_SHERMAN_H
