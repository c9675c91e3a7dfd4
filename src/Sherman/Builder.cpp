// Set-up of the Sherman fluorescence model: the fundamental-parameter factor of each line
// and the tables that do not depend on the composition.
//
// Line factor after J. Sherman, Spectrochim. Acta 7 (1955) 283: the probability that a
// photoionisation of the line's element produces a photon of that line,
//   S = R (1 - 1/J) W,
// with R the line's radiative rate (group lines summed over their transitions), (1 - 1/J)
// the share of the photoabsorption that ionises the line's shell (J the edge jump ratio),
// and W the shell's fluorescence yield including vacancies moved in from the inner
// subshells by Coster-Kronig transitions (W. Bambynek et al., Rev. Mod. Phys. 44 (1972) 716).
// All atomic data from xraylib.
#include <algorithm>
#include <cmath>
#include <utility>

#include "calyx/Sherman.h"
#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {

namespace {

constexpr int kMaxGroupLineZ = 120;
constexpr double kDefaultAngleDegrees = 45.0;

// Radiative rate of a line; a group line sums the rates of its transitions.
double radiativeRate(int Z, int line) {
  using detail::xrl::radRate;
  if (line < KA_LINE || line > LB_LINE) return radRate(Z, line);
  if (Z < 1 || Z > kMaxGroupLineZ) return 0.0;
  switch (line) {
    case KA_LINE: {
      double r = radRate(Z, KL1_LINE);
      r = r + radRate(Z, KL2_LINE);
      r = r + radRate(Z, KL3_LINE);
      return r;
    }
    case KB_LINE: {  // whatever of the K shell's radiative decay is not KA
      const double r = radRate(Z, KA_LINE);
      if (r == 0.0 || r == 1.0) return 0.0;
      return 1.0 - r;
    }
    case LA_LINE:
      return radRate(Z, L3M5_LINE) + radRate(Z, L3M4_LINE);
    default: {  // LB
      static constexpr int kLBTransitions[] = {L2M4_LINE, L3N5_LINE, L1M3_LINE, L1M2_LINE,
                                               L3O3_LINE, L3O4_LINE, L3N1_LINE};
      double r = 0.0;
      for (int code : kLBTransitions) r = r + radRate(Z, code);
      return r;
    }
  }
}

// Fluorescence yield of shell `shell`, counting the vacancies that Coster-Kronig
// transitions bring from the inner subshells of the same main shell.
double effectiveYield(int Z, int shell) {
  auto w = [Z](int n) { return detail::xrl::fluorYield(Z, n); };
  auto f = [Z](int n) { return detail::xrl::cosKronTransProb(Z, n); };
  switch (shell) {
    case L2_SHELL:
      return w(L2_SHELL) + w(L1_SHELL) * f(FL12_TRANS);
    case L3_SHELL:
      return w(L3_SHELL) + w(L2_SHELL) * f(FL23_TRANS) +
             w(L1_SHELL) * (f(FL12_TRANS) * f(FL23_TRANS) + f(FL13_TRANS));
    case M2_SHELL:
      return w(M2_SHELL) + w(M1_SHELL) * f(FM12_TRANS);
    case M3_SHELL:
      return w(M3_SHELL) + w(M2_SHELL) * f(FM23_TRANS) +
             w(M1_SHELL) * (f(FM12_TRANS) * f(FM23_TRANS) + f(FM13_TRANS));
    case M4_SHELL:
      return w(M4_SHELL) + w(M3_SHELL) * f(FM34_TRANS) +
             w(M2_SHELL) * (f(FM23_TRANS) * f(FM34_TRANS) + f(FM24_TRANS)) +
             w(M1_SHELL) * (f(FM12_TRANS) * f(FM23_TRANS) * f(FM34_TRANS) +
                            f(FM13_TRANS) * f(FM34_TRANS) + f(FM12_TRANS) * f(FM24_TRANS) +
                            f(FM14_TRANS));
    case M5_SHELL:
      // The direct M3 -> M5 transfer is f35; the M3 term takes f24 (FM24_TRANS) instead, as
      // the calibrations made so far do. Correcting it changes M-line results: a deliberate
      // change of its own, not part of a renaming.
      return w(M5_SHELL) + w(M4_SHELL) * f(FM45_TRANS) +
             w(M3_SHELL) * (f(FM34_TRANS) * f(FM45_TRANS) + f(FM24_TRANS)) +
             w(M2_SHELL) * (f(FM23_TRANS) * f(FM34_TRANS) * f(FM45_TRANS) +
                            f(FM24_TRANS) * f(FM45_TRANS) + f(FM23_TRANS) * f(FM35_TRANS) +
                            f(FM25_TRANS)) +
             w(M1_SHELL) * (f(FM12_TRANS) * f(FM23_TRANS) * f(FM34_TRANS) * f(FM45_TRANS) +
                            f(FM12_TRANS) * f(FM23_TRANS) * f(FM35_TRANS) +
                            f(FM12_TRANS) * f(FM24_TRANS) * f(FM45_TRANS) +
                            f(FM13_TRANS) * f(FM34_TRANS) * f(FM45_TRANS) +
                            f(FM12_TRANS) * f(FM25_TRANS) + f(FM13_TRANS) * f(FM35_TRANS) +
                            f(FM14_TRANS) * f(FM45_TRANS) + f(FM15_TRANS));
    default:  // K, L1, M1: no inner subshell feeds them
      return w(shell);
  }
}

}  // namespace

double lineSensitivity(const XRFLine& line) {
  const int Z = line.element().atomicNumber();
  const double R = radiativeRate(Z, line.line());
  const double J = detail::xrl::jumpFactor(Z, line.shell());
  const double W = effectiveYield(Z, line.shell());
  const double S = R * (1.0 - 1.0 / J) * W;
  // J = 0 (no such shell in xraylib) makes 1 - 1/J infinite: the element has no such line.
  return std::isfinite(S) ? S : 0.0;
}

Sherman::Line::Line(const XRFLine& xrfLine, double lineSensitivityValue, double& fractionRef,
                    double& uncertaintyRef)
    : line(xrfLine),
      sensitivity(lineSensitivityValue),
      fraction(fractionRef),
      uncertainty(uncertaintyRef) {}

Sherman::Builder::Builder(const std::shared_ptr<Chemistry>& chemistry,
                          const std::shared_ptr<SpectrumBase<double>>& excitation)
    : chemistry_(chemistry),
      excitation_(excitation),
      takeOffAngle_(Angle::createFromDegrees(kDefaultAngleDegrees)),
      incidenceAngle_(Angle::createFromDegrees(kDefaultAngleDegrees)) {}

Sherman::Builder& Sherman::Builder::takeOffAngle(Angle angle) {
  takeOffAngle_ = angle;
  return *this;
}

Sherman::Builder& Sherman::Builder::incidenceAngle(Angle angle) {
  incidenceAngle_ = angle;
  return *this;
}

Sherman::Builder& Sherman::Builder::photoabsorption(Photoabsorption data) {
  photoabsorption_ = data;
  return *this;
}

Sherman::Builder& Sherman::Builder::addXRFLine(const XRFLine& line) {
  if (chemistry_ != nullptr && chemistry_->hasElement(line.element()) && line.isValid()) {
    lines_.insert(line);
  } else {
    CALYX_LOG_WARN("cannot add line: [{:s}:{:.2f}]", printableSymbol(line.element()),
                   line.lineEnergyKeV());
  }
  return *this;
}

Sherman::Builder& Sherman::Builder::addAllLinesFromElement(const Element& element,
                                                           bool individual) {
  if (excitation_ == nullptr) {
    // Without a spectrum no line can be excited; adding none is the only sound answer.
    CALYX_LOG_WARN("missing excitation spectrum");
    return *this;
  }
  double maxEnergyKeV = -1.0;
  const unsigned int pointCount = excitation_->size();
  for (unsigned int i = 0; i < pointCount; ++i)
    maxEnergyKeV = std::max(maxEnergyKeV, excitation_->energyAt(i));

  const std::vector<int>& codes = individual ? individualLines : groupLines;
  for (int code : codes) {
    const XRFLine line = XRFLine::create(element, code);
    if (line.isValid() && lineSensitivity(line) > 0.0 && line.lineEnergyKeV() <= maxEnergyKeV &&
        line.edgeEnergyKeV() <= maxEnergyKeV)
      addXRFLine(line);
  }
  return *this;
}

int Sherman::Builder::create(Sherman& target) {
  if (excitation_ == nullptr) {
    CALYX_LOG_ERR("missing excitation spectrum");
    return 1;
  }

  // Everything is assembled in a model aside first, so that an exhausted allocator leaves
  // the target as it was. The line vector is sized once and never grows afterwards.
  Sherman model;
  model.chemistry = chemistry_;
  model.excitation = excitation_;
  model.takeOffAngle_ = takeOffAngle_;
  model.incidenceAngle_ = incidenceAngle_;
  model.photoabsorption_ = photoabsorption_;
  model.lines.reserve(lines_.size());
  for (const XRFLine& line : lines_) {
    const int index = chemistry_->getIndex(line.element());
    model.lines.emplace_back(line, lineSensitivity(line), chemistry_->fractions[index],
                             chemistry_->uncertainties[index]);
  }
  model.binCount_ = excitation_->size();
  model.lineAttenuation_.assign(model.lines.size(), 0.0);
  model.binAttenuation_.assign(model.binCount_, 0.0);
  model.buildTables();

  target.chemistry = std::move(model.chemistry);
  target.excitation = std::move(model.excitation);
  target.takeOffAngle_ = model.takeOffAngle_;
  target.incidenceAngle_ = model.incidenceAngle_;
  target.photoabsorption_ = model.photoabsorption_;
  target.lines = std::move(model.lines);
  target.lineAttenuation_ = std::move(model.lineAttenuation_);
  target.binCount_ = model.binCount_;
  target.binAttenuation_ = std::move(model.binAttenuation_);
  target.photoTable_ = std::move(model.photoTable_);
  target.tables_ = std::move(model.tables_);
  return 0;
}

}  // namespace calyx
