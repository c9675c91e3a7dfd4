#include "calyx/Chemistry.h"

#include <gtest/gtest.h>

#include <string>

#include "calyx/Sherman.h"
#include "detail/Log.h"
#include "support/LogCapture.h"

namespace calyx {
namespace {

TEST(ElementTest, SymbolsMatchExactlyAndCaseSensitively) {
  struct Case {
    const char* symbol;
    int z;
  } cases[] = {{"Fe", 26}, {"O", 8}, {"U", 92}, {"Xx", 0}, {"fe", 0}, {"FE", 0}, {"", 0}};
  for (const Case& c : cases) EXPECT_EQ(Element(c.symbol).atomicNumber(), c.z) << c.symbol;
  EXPECT_EQ(Element(static_cast<const char*>(nullptr)).atomicNumber(), 0);
}

TEST(ElementTest, SymbolIsNullOutsideTheElementTable) {
  EXPECT_STREQ(Element(1).symbol(), "H");
  EXPECT_STREQ(Element(107).symbol(), "Bh");
  EXPECT_EQ(Element(0).symbol(), nullptr);
  EXPECT_EQ(Element(108).symbol(), nullptr);
  EXPECT_EQ(Element(-3).symbol(), nullptr);
}

TEST(ElementTest, PrintableSymbolNamesElementsWithoutSymbolByAtomicNumber) {
  EXPECT_EQ(printableSymbol(Element("Cu")), "Cu");
  EXPECT_EQ(printableSymbol(Element("Xx")), "Z=0");
  EXPECT_EQ(printableSymbol(Element(150)), "Z=150");
}

TEST(ElementTest, MessagesAboutAnElementWithoutSymbolAreLoggedInsteadOfCrashing) {
  testing::LogCapture capture;
  const Element unknown("Qq");
  CALYX_LOG_WARN("cannot add line: [{:s}:{:.2f}]", printableSymbol(unknown), 6.4);
  CALYX_LOG_INFO("[{:4s}:{:.2f}%]", printableSymbol(unknown), 12.0);
  EXPECT_TRUE(capture.contains("cannot add line: [Z=0:6.40]", spdlog::level::warn));
  EXPECT_TRUE(capture.contains("[Z=0 :12.00%]", spdlog::level::info));

  // The same through the library's own path: a compound with an unknown element.
  Sherman::Chemistry chemistry({Element("Fe")});
  Compound c;
  c.set(ElementChemistry(unknown, 0.5, 0.0));
  chemistry.setCompound(c);
  EXPECT_TRUE(capture.contains("cannot set chem for Z=0", spdlog::level::warn));
}

TEST(CompoundTest, EntriesAreOrderedByAtomicNumberAndUniqueByElement) {
  Compound c;
  c.set(ElementChemistry(Element("Ni"), 0.3, 0.01));
  c.set(ElementChemistry(Element("Fe"), 0.7, 0.02));
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c.begin()->element.atomicNumber(), 26);

  c.set(ElementChemistry(Element("Ni"), 0.25, 0.005));
  EXPECT_EQ(c.size(), 2u);
  ASSERT_NE(c.find(Element("Ni")), nullptr);
  EXPECT_EQ(c.find(Element("Ni"))->fraction, 0.25);
  EXPECT_EQ(c.find(Element("Ni"))->uncertainty, 0.005);
  EXPECT_EQ(c.find(Element("Cu")), nullptr);

  EXPECT_FALSE(c.insert(ElementChemistry(Element("Fe"), 0.1, 0.0)));
  EXPECT_EQ(c.find(Element("Fe"))->fraction, 0.7);  // insert keeps the first entry
}

TEST(CompoundTest, CreatePureHoldsOneElementAtFractionOne) {
  Compound c = Compound::createPure(29);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c.begin()->element.atomicNumber(), 29);
  EXPECT_EQ(c.begin()->fraction, 1.0);
  EXPECT_EQ(c.begin()->uncertainty, 0.0);
}

TEST(CompoundTest, ParsedFormulaIsInAscendingAtomicNumberWithMassFractions) {
  Compound c;
  ASSERT_TRUE(Compound::fromFormula("Fe2O3", c));
  ASSERT_EQ(c.size(), 2u);
  // Hand-worked from standard atomic weights: O 15.9994 x 3, Fe 55.845 x 2.
  const double o = 3 * 15.9994, fe = 2 * 55.845;
  EXPECT_EQ(c.begin()->element.atomicNumber(), 8);
  EXPECT_NEAR(c.begin()->fraction, o / (o + fe), 1e-4);
  EXPECT_NEAR(c.find(Element("Fe"))->fraction, fe / (o + fe), 1e-4);
  EXPECT_EQ(c.find(Element("Fe"))->uncertainty, 0.0);

  Compound untouched = Compound::createPure(26);
  EXPECT_FALSE(Compound::fromFormula("Qz3(", untouched));
  EXPECT_EQ(untouched.size(), 1u);
}

TEST(CompoundToStringTest, PrintsEachEntryWithSixSignificantDigits) {
  struct Case {
    double fe, ni;
    const char* text;
  } cases[] = {
      {0.7, 0.3, "\nFe : 0.7\nNi : 0.3\n"},
      {0.123456789, 1e-5, "\nFe : 0.123457\nNi : 1e-05\n"},
      {1234567.0, 0.0001, "\nFe : 1.23457e+06\nNi : 0.0001\n"},
  };
  for (const Case& k : cases) {
    Compound c;
    c.set(ElementChemistry(Element("Ni"), k.ni, 0.5));
    c.set(ElementChemistry(Element("Fe"), k.fe, 0.5));
    EXPECT_EQ(compoundToString(c), k.text);
  }
  EXPECT_EQ(compoundToString(Compound()), "\n");
}

TEST(CompoundToStringTest, ElementWithoutSymbolCutsTheTextShort) {
  Compound c;
  c.set(ElementChemistry(Element(0), 0.1, 0.0));
  c.set(ElementChemistry(Element("Fe"), 0.9, 0.0));
  EXPECT_EQ(compoundToString(c), "\n");

  Compound tail;
  tail.set(ElementChemistry(Element("Fe"), 0.9, 0.0));
  tail.set(ElementChemistry(Element(120), 0.1, 0.0));
  EXPECT_EQ(compoundToString(tail), "\nFe : 0.9\n");
}

}  // namespace
}  // namespace calyx
