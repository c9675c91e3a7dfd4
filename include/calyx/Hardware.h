/// @file
/// Detector and tube records, and their readers from the JSON configuration.
///
/// Every number read from JSON passes through single precision (asFloat) before it is
/// widened to double: 0.1 arrives as 0.100000001490116. The records are plain values; their
/// const functions may be called from any thread.
#ifndef CALYX_HARDWARE_H
#define CALYX_HARDWARE_H

#include "calyx/Filter.h"
#include "calyx/XRFLine.h"
#include "calyx/export.h"

namespace Json {
class Value;
}

namespace calyx {

/// An energy-dispersive detector: crystal, entrance window and measured resolution.
struct CALYX_EXPORT DetectorHardware {
  int Z = 0;                        ///< crystal element
  double thickness = 0.0;           ///< crystal, µm
  int windowZ = 0;                  ///< window element
  double windowThickness = 0.0;     ///< window, µm
  double measuredFWHMEnergy = 0.0;  ///< eV
  double measuredFWHM = 0.0;        ///< eV

  /// No effect: the efficiency model has no air term.
  void addAirGap(double length);
  /// Peak FWHM in keV: sqrt(FWHM0² + 0.41268 eV (1000 E - E0)) / 1000 (NaN when negative).
  double getGaussianWidthAtEnergy(double energyKeV) const;
  /// T_window(E) x (1 - T_crystal(E)): the fraction that passes the window and is absorbed.
  double getDetectorEfficiencyFactor(double energyKeV) const;
};

/// An X-ray tube: anode, exit window and the anode's take-off angle.
struct CALYX_EXPORT TubeHardware {
  Angle takeoffAngle;            ///< of the beam leaving the anode (not the sample geometry)
  int windowZ = 0;               ///< exit-window element
  double windowThickness = 0.0;  ///< µm
  int anodeZ = 0;                ///< anode element
  double anodeThickness = 0.0;   ///< kept, not used by the model
};

/// Readers of the "detector", "tube" and filter objects. Each returns 0; a value of a wrong
/// type makes JsonCpp throw Json::LogicError, which is passed on to the caller.
class CALYX_EXPORT HardwareConfig {
 public:
  /// "Z", "thickness", "windowZ", "windowThickness", "measuredFWHMEnergy", "measuredFWHM";
  /// a missing key reads as 0.
  static int readDetectorHardware(const Json::Value& value, DetectorHardware& out);
  /// "anodeZ", "anodeThickness", "windowZ", "windowThickness", "takeoffAngle" (degrees);
  /// a missing key reads as 0.
  static int readTubeHardware(const Json::Value& value, TubeHardware& out);
  /// {"compound": formula, "thickness": µm, "density": g/cm³ (0: element densities)}.
  /// A formula that does not parse leaves `out` unchanged (still status 0).
  static int readFilter(const Json::Value& value, Filter& out);
};

}  // namespace calyx

#endif  // CALYX_HARDWARE_H
