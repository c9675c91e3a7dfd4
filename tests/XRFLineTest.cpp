#include "calyx/XRFLine.h"

#include <gtest/gtest.h>
#include <xraylib.h>

#include <set>
#include <stdexcept>

namespace calyx {
namespace {

TEST(XRFLineTest, CreateLooksUpShellAndEnergiesFromXraylib) {
  struct Case {
    const char* symbol;
    int line, shell;
  } cases[] = {{"Fe", 0, 0}, {"Fe", 1, 0}, {"Pb", 2, 3}, {"Pb", 3, 2}, {"Fe", -90, 3},
               {"W", -60, 2}, {"Au", -207, 8}, {"Au", -187, 7}, {"Au", -165, 6}, {"Pb", -34, 1}};
  for (const Case& c : cases) {
    const int z = SymbolToAtomicNumber(c.symbol, nullptr);
    XRFLine l = XRFLine::create(Element(c.symbol), c.line);
    EXPECT_EQ(l.shell(), c.shell) << c.symbol << " " << c.line;
    EXPECT_EQ(l.lineEnergyKeV(), LineEnergy(z, c.line, nullptr));
    EXPECT_EQ(l.edgeEnergyKeV(), EdgeEnergy(z, c.shell, nullptr));
    EXPECT_GT(l.edgeEnergyKeV(), l.lineEnergyKeV());
    EXPECT_TRUE(l.isValid());
  }
}

TEST(XRFLineTest, LineTheElementLacksIsInvalid) {
  EXPECT_FALSE(XRFLine::create(Element("C"), 2).isValid());  // carbon has no L lines
  EXPECT_FALSE(XRFLine::create(Element(0), 0).isValid());
}

TEST(XRFLineTest, CodeWithoutShellThrowsOutOfRange) {
  EXPECT_THROW(XRFLine::create(Element("Fe"), -4), std::out_of_range);
  EXPECT_THROW(XRFLine::create(Element("Fe"), 4), std::out_of_range);
}

TEST(XRFLineTest, EqualityAndOrderUseElementAndCodeOnly) {
  EXPECT_EQ(XRFLine::create(Element("Fe"), 0), XRFLine::create(Element(26), 0));
  EXPECT_NE(XRFLine::create(Element("Fe"), 0), XRFLine::create(Element("Fe"), 1));
  EXPECT_LT(XRFLine::create(Element("Fe"), 3), XRFLine::create(Element("Ni"), -3));
  EXPECT_LT(XRFLine::create(Element("Fe"), -90), XRFLine::create(Element("Fe"), -3));
  EXPECT_LT(XRFLine::create(Element("Fe"), -3), XRFLine::create(Element("Fe"), 0));
  EXPECT_LT(XRFLine::create(Element("Pb"), -207), XRFLine::create(Element("Pb"), -3));

  std::set<XRFLine> lines = {XRFLine::create(Element("Zn"), 0), XRFLine::create(Element("Fe"), 0),
                             XRFLine::create(Element("Fe"), 0)};
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines.begin()->element().atomicNumber(), 26);
}

TEST(LineTablesTest, HoldTheSupportedCodesAndNames) {
  EXPECT_EQ(lineToShell.size(), 42u);
  EXPECT_EQ(individualLines, (std::vector<int>{-3, -2, -1, -6, -11, -5, -90, -89, -63, -95, -68}));
  EXPECT_EQ(groupLines, (std::vector<int>{0, 1, 2, 3}));
  for (int code : individualLines) EXPECT_EQ(lineToShell.count(code), 1u) << code;
  EXPECT_EQ(lineSymbols.size(), 4u);
  EXPECT_EQ(lineSymbols.count("La"), 0u);
  EXPECT_EQ(lineName(0), "KA");
  EXPECT_EQ(lineName(3), "LB");
  EXPECT_EQ(lineName(-90), "-90");
}

TEST(AngleTest, DegreesRoundTripAndRadiansAreKeptAsGiven) {
  EXPECT_EQ(Angle::createFromDegrees(45.0).getDegrees(), 45.0);
  EXPECT_EQ(Angle::createFromDegrees(45.0).radians(), 45.0 * 0.017453292519943295);
  EXPECT_EQ(Angle::createFromRadian(0.25).radians(), 0.25);
  EXPECT_NEAR(Angle::createFromDegrees(180.0).radians(), 3.141592653589793, 1e-15);
}

}  // namespace
}  // namespace calyx
