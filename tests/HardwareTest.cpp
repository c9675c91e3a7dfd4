// Detector efficiency and peak width, and the readers of the "detector", "tube" and filter
// objects. Efficiencies to 1e-12 relative against Beer-Lambert written out on xraylib's C
// functions; widths to 1e-12 relative against the hand formula.
#include "calyx/Hardware.h"
#include "support/HandheldEngine.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "support/Json.h"
#include "support/LogCapture.h"

namespace calyx {
namespace {

constexpr double kRel = 1e-12;

using testing::parseJson;

using testing::layerTransmission;
using testing::siliconDriftDetector;

TEST(HardwareTest, EfficiencyIsWindowTransmissionTimesCrystalAbsorption) {
  const DetectorHardware d = siliconDriftDetector();
  for (double e : {1.0, 1.74, 1.85, 5.0, 17.48, 40.0}) {
    const double expected = layerTransmission(4, 12.5, e) * (1.0 - layerTransmission(14, 500.0, e));
    EXPECT_NEAR(d.getDetectorEfficiencyFactor(e), expected, kRel * expected) << e;
  }
  // A thick crystal absorbs nearly all 5 keV photons; the window passes most.
  EXPECT_GT(d.getDetectorEfficiencyFactor(5.0), 0.9);
}

TEST(HardwareTest, PeakWidthFollowsTheMeasuredResolution) {
  const DetectorHardware d = siliconDriftDetector();
  EXPECT_NEAR(d.getGaussianWidthAtEnergy(5.9), 0.140, kRel * 0.140);
  const double atZero = std::sqrt(140.0 * 140.0 - 0.41268 * 5900.0) / 1000.0;
  EXPECT_NEAR(d.getGaussianWidthAtEnergy(0.0), atZero, kRel * atZero);
  EXPECT_NEAR(atZero, 0.1310, 1e-4);
  for (double e : {1.0, 8.04, 25.0}) {
    const double expected = std::sqrt(140.0 * 140.0 + 0.41268 * (1000.0 * e - 5900.0)) / 1000.0;
    EXPECT_NEAR(d.getGaussianWidthAtEnergy(e), expected, kRel * expected) << e;
  }
}

TEST(HardwareTest, PeakWidthWithoutMeasuredWidthIsNaNBelowTheReferenceEnergy) {
  DetectorHardware d = siliconDriftDetector();
  d.measuredFWHM = 0.0;
  EXPECT_TRUE(std::isnan(d.getGaussianWidthAtEnergy(1.0)));
  EXPECT_TRUE(std::isnan(d.getGaussianWidthAtEnergy(5.8)));
  const double at10 = std::sqrt(412.68 * 10.0 - 0.41268 * 5900.0) / 1000.0;
  EXPECT_NEAR(d.getGaussianWidthAtEnergy(10.0), at10, kRel * at10);
}

TEST(HardwareTest, AirGapChangesNothing) {
  const DetectorHardware before = siliconDriftDetector();
  DetectorHardware after = before;
  after.addAirGap(3.5);
  for (double e : {1.5, 6.4, 22.0}) {
    EXPECT_EQ(after.getDetectorEfficiencyFactor(e), before.getDetectorEfficiencyFactor(e));
    EXPECT_EQ(after.getGaussianWidthAtEnergy(e), before.getGaussianWidthAtEnergy(e));
  }
}

TEST(HardwareTest, DetectorReaderRoundsNumbersToSinglePrecision) {
  DetectorHardware d;
  ASSERT_EQ(HardwareConfig::readDetectorHardware(
                parseJson(R"({"Z": 14, "thickness": 450.1, "windowZ": 4, "windowThickness": 0.1,
                          "measuredFWHMEnergy": 5898.7, "measuredFWHM": 129.3})"),
                d),
            0);
  EXPECT_EQ(d.Z, 14);
  EXPECT_EQ(d.windowZ, 4);
  EXPECT_EQ(d.thickness, static_cast<double>(450.1f));
  EXPECT_EQ(d.windowThickness, static_cast<double>(0.1f));
  EXPECT_NE(d.windowThickness, 0.1);
  EXPECT_EQ(d.measuredFWHMEnergy, static_cast<double>(5898.7f));
  EXPECT_EQ(d.measuredFWHM, static_cast<double>(129.3f));
}

TEST(HardwareTest, DetectorWithoutWindowKeyHasAWindowThatPassesEverything) {
  DetectorHardware d;
  d.windowZ = 4;
  ASSERT_EQ(HardwareConfig::readDetectorHardware(parseJson(R"({"Z": 14, "thickness": 500})"), d), 0);
  EXPECT_EQ(d.windowZ, 0);
  EXPECT_EQ(d.windowThickness, 0.0);
  EXPECT_EQ(d.measuredFWHM, 0.0);
  const double expected = 1.0 - layerTransmission(14, 500.0, 30.0);
  EXPECT_NEAR(d.getDetectorEfficiencyFactor(30.0), expected, kRel * expected);
}

TEST(HardwareTest, TubeReaderTakesTheTakeoffAngleInDegrees) {
  TubeHardware t;
  ASSERT_EQ(HardwareConfig::readTubeHardware(
                parseJson(R"({"anodeZ": 45, "anodeThickness": 0.75, "windowZ": 4,
                          "windowThickness": 127.3, "takeoffAngle": 45})"),
                t),
            0);
  EXPECT_EQ(t.anodeZ, 45);
  EXPECT_EQ(t.windowZ, 4);
  EXPECT_EQ(t.anodeThickness, 0.75);
  EXPECT_EQ(t.windowThickness, static_cast<double>(127.3f));
  EXPECT_EQ(t.takeoffAngle.radians(), 45.0 * 0.017453292519943295);
  EXPECT_NEAR(t.takeoffAngle.radians(), std::acos(-1.0) / 4.0, 1e-15);

  ASSERT_EQ(HardwareConfig::readTubeHardware(parseJson(R"({"takeoffAngle": 20.1})"), t), 0);
  EXPECT_EQ(t.takeoffAngle.radians(), static_cast<double>(20.1f) * 0.017453292519943295);
  EXPECT_EQ(t.anodeZ, 0);
}

TEST(HardwareTest, FilterReaderBuildsTheParsedCompound) {
  Filter f;
  ASSERT_EQ(HardwareConfig::readFilter(
                parseJson(R"({"compound": "Fe2O3", "thickness": 12.3, "density": 5.24})"), f),
            0);
  EXPECT_EQ(f.getThickness(), static_cast<double>(12.3f) * 1e-4);
  EXPECT_EQ(f.getDensity(), static_cast<double>(5.24f));
  ASSERT_EQ(f.getCompound().size(), 2u);
  auto it = f.getCompound().begin();
  const double oxygen = 3 * AtomicWeight(8, nullptr);
  const double iron = 2 * AtomicWeight(26, nullptr);
  EXPECT_EQ(it->element.atomicNumber(), 8);
  EXPECT_NEAR(it->fraction, oxygen / (oxygen + iron), 1e-12);
  ++it;
  EXPECT_EQ(it->element.atomicNumber(), 26);
  EXPECT_NEAR(it->fraction, iron / (oxygen + iron), 1e-12);
}

TEST(HardwareTest, FilterReaderLeavesTheFilterUntouchedWhenTheFormulaDoesNotParse) {
  testing::LogCapture log;
  for (const char* text : {R"({"compound": "", "thickness": 10, "density": 2})",
                           R"({"thickness": 10, "density": 2})",
                           R"({"compound": "Xx2", "thickness": 10, "density": 2})"}) {
    Filter f = Filter::create(Element(29), 50.0, 8.96);
    EXPECT_EQ(HardwareConfig::readFilter(parseJson(text), f), 0) << text;
    ASSERT_EQ(f.getCompound().size(), 1u) << text;
    EXPECT_EQ(f.getCompound().begin()->element.atomicNumber(), 29) << text;
    EXPECT_EQ(f.getThickness(), 50.0 * 1e-4) << text;
    EXPECT_EQ(f.getDensity(), 8.96) << text;
  }
  EXPECT_TRUE(log.messages().empty());
}

TEST(HardwareTest, ReadersLetJsonTypeErrorsThrough) {
  DetectorHardware d;
  TubeHardware t;
  Filter f;
  EXPECT_THROW(HardwareConfig::readDetectorHardware(parseJson(R"({"Z": {"n": 14}})"), d),
               Json::LogicError);
  EXPECT_THROW(HardwareConfig::readTubeHardware(parseJson(R"({"takeoffAngle": "steep"})"), t),
               Json::LogicError);
  EXPECT_THROW(HardwareConfig::readFilter(parseJson(R"({"compound": ["Al"]})"), f), Json::LogicError);
}

}  // namespace
}  // namespace calyx
