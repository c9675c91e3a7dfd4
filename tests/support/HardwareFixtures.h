// The detector and tubes of the tests and benchmarks: a handheld analyser's silicon drift
// detector and Rh tube (as structures and as a configuration's members), and tubes of other
// anodes behind a beryllium window.
#ifndef CALYX_TESTS_SUPPORT_HARDWAREFIXTURES_H
#define CALYX_TESTS_SUPPORT_HARDWAREFIXTURES_H

#include <string>

#include "calyx/Hardware.h"

namespace calyx {
namespace testing {

/// Silicon drift detector: 500 µm Si behind 12.5 µm Be, 140 eV at 5.9 keV.
inline DetectorHardware siliconDriftDetector() {
  DetectorHardware d;
  d.Z = 14;
  d.thickness = 500.0;
  d.windowZ = 4;
  d.windowThickness = 12.5;
  d.measuredFWHMEnergy = 5900.0;
  d.measuredFWHM = 140.0;
  return d;
}

/// A tube of the anode `anodeZ` behind a beryllium window, anode take-off in degrees.
inline TubeHardware berylliumWindowTube(int anodeZ, double windowMicrometres, double takeoffDegrees) {
  TubeHardware t;
  t.anodeZ = anodeZ;
  t.windowZ = 4;
  t.windowThickness = windowMicrometres;
  t.takeoffAngle = Angle::createFromDegrees(takeoffDegrees);
  return t;
}

/// Rh side-window tube, 100 µm Be window, anode take-off 22 degrees.
inline TubeHardware rhodiumTube() { return berylliumWindowTube(45, 100.0, 22.0); }

/// The same detector and tube as a configuration's "detector" and "tube" members (no braces
/// around them); `tubeExtra` ends the tube object, e.g. `, "model": "ebel"`.
inline std::string handheldHardwareJson(const std::string& tubeExtra = "") {
  return R"("detector": {"Z": 14, "thickness": 500, "windowZ": 4, "windowThickness": 12.5,
               "measuredFWHMEnergy": 5900, "measuredFWHM": 140},
  "tube": {"anodeZ": 45, "anodeThickness": 100, "windowZ": 4, "windowThickness": 100,
           "takeoffAngle": 22)" +
         tubeExtra + "}";
}

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_HARDWAREFIXTURES_H
