/// @file
/// Fluorescence lines, angles and the fixed line tables.
///
/// Line and shell codes are xraylib's integer codes: group lines KA = 0, KB = 1, LA = 2,
/// LB = 3 (rate-weighted mean energies), single transitions as negative codes (KL3 = -3,
/// L3M5 = -90, ...). Shell codes: K = 0, L1 = 1, L2 = 2, L3 = 3, M1..M5 = 4..8.
/// The tables are filled while the library loads and never change: read them from any thread.
#ifndef CALYX_XRFLINE_H
#define CALYX_XRFLINE_H

#include <map>
#include <string>
#include <vector>

#include "calyx/Chemistry.h"
#include "calyx/export.h"

namespace calyx {

/// An angle of the instrument geometry, held in radians.
class CALYX_EXPORT Angle {
 public:
  static constexpr double kRadiansPerDegree = 0.017453292519943295;  ///< pi / 180
  static constexpr double kDegreesPerRadian = 57.29577951308232;     ///< 180 / pi

  Angle() = default;  ///< 0 radians
  static Angle createFromRadian(double radians) { return Angle(radians); }
  static Angle createFromDegrees(double degrees) { return Angle(degrees * kRadiansPerDegree); }
  double radians() const { return radians_; }
  double getDegrees() const { return radians_ * kDegreesPerRadian; }

 private:
  explicit Angle(double r) : radians_(r) {}
  double radians_ = 0.0;
};

/// One fluorescence line of one element: element, xraylib line code, the shell whose
/// vacancy produces it, the line's photon energy and the shell's edge energy (keV).
/// Equality and order use element and line code only.
class CALYX_EXPORT XRFLine {
 public:
  XRFLine() = default;
  /// Looks the energies up in xraylib. Throws std::out_of_range ("map::at") for a line
  /// code that is not in lineToShell. A line the element does not have gets energy 0
  /// and isValid() false.
  static XRFLine create(Element element, int line);

  Element element() const { return element_; }
  int line() const { return line_; }                          ///< xraylib line code
  int shell() const { return shell_; }                        ///< xraylib shell code
  double lineEnergyKeV() const { return lineEnergyKeV_; }     ///< 0 when the element lacks the line
  double edgeEnergyKeV() const { return edgeEnergyKeV_; }     ///< absorption edge of shell()
  /// True when the element has the line (its energy is above 0).
  bool isValid() const { return lineEnergyKeV_ > 0; }

  bool operator==(const XRFLine& o) const { return element_ == o.element_ && line_ == o.line_; }
  bool operator!=(const XRFLine& o) const { return !(*this == o); }
  /// By atomic number, then by line code (both signed).
  bool operator<(const XRFLine& o) const {
    if (element_.atomicNumber() != o.element_.atomicNumber())
      return element_.atomicNumber() < o.element_.atomicNumber();
    return line_ < o.line_;
  }

 private:
  Element element_;
  int line_ = 0;
  int shell_ = 0;
  double lineEnergyKeV_ = 0.0;
  double edgeEnergyKeV_ = 0.0;
};

/// Line code to shell code for the 42 supported line codes.
CALYX_EXPORT extern const std::map<int, int> lineToShell;
/// Kα1, Kα2, Kα3, Kβ1, Kβ2, Kβ3, Lα1, Lα2, Lβ1, Lβ2, Lγ1.
CALYX_EXPORT extern const std::vector<int> individualLines;
/// KA, KB, LA, LB.
CALYX_EXPORT extern const std::vector<int> groupLines;
/// "KA" -> 0, "KB" -> 1, "LA" -> 2, "LB" -> 3 (exact, case-sensitive): the line names of
/// the configuration and calibration files.
CALYX_EXPORT extern const std::map<std::string, int> lineSymbols;

/// The name of a line code in lineSymbols ("KA" for 0), or the code as a number ("-90").
CALYX_EXPORT std::string lineName(int lineCode);

}  // namespace calyx

#endif  // CALYX_XRFLINE_H
