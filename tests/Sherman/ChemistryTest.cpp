#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "calyx/Sherman.h"
#include "support/LogCapture.h"

namespace calyx {
namespace {

using testing::LogCapture;

TEST(ShermanChemistryTest, ElementsAreHeldInAscendingAtomicNumberAndFoundByIndex) {
  const Sherman::Chemistry chem({Element("Zn"), Element("Fe"), Element("Cu")});
  ASSERT_EQ(chem.elements.size(), 3u);
  EXPECT_EQ(chem.elements[0], Element("Fe"));
  EXPECT_EQ(chem.elements[2], Element("Zn"));
  EXPECT_EQ(chem.getIndex(Element("Cu")), 1);
  EXPECT_EQ(chem.getIndex(Element("Ni")), -1);  // between two held elements
  EXPECT_EQ(chem.getIndex(Element("Pb")), -1);  // past the last one
  EXPECT_EQ(chem.getIndex(Element(1)), -1);     // before the first one
  EXPECT_TRUE(chem.hasElement(Element("Zn")));
  EXPECT_FALSE(chem.hasElement(Element("Ni")));
  for (double f : chem.fractions) EXPECT_EQ(f, 0.0);
  for (double u : chem.uncertainties) EXPECT_EQ(u, 0.0);
}

TEST(ShermanChemistryTest, SetRejectsFractionsOutsideZeroToOneAndAbsentElements) {
  Sherman::Chemistry chem({Element("Fe"), Element("Cu"), Element("Zn")});
  EXPECT_FALSE(chem.set(Element("Fe"), 1.2, 0.01));
  EXPECT_FALSE(chem.set(Element("Fe"), -0.1, 0.01));
  EXPECT_EQ(chem.fractions[0], 0.0);
  EXPECT_EQ(chem.uncertainties[0], 0.0);
  EXPECT_FALSE(chem.set(Element("Ni"), 0.5, 0.0));

  EXPECT_TRUE(chem.set(Element("Fe"), 0.7, 0.01));
  EXPECT_EQ(chem.fractions[0], 0.7);
  EXPECT_EQ(chem.uncertainties[0], 0.01);
  EXPECT_TRUE(chem.set(Element("Zn"), 1.0, 0.0));  // both bounds are allowed
  EXPECT_TRUE(chem.set(Element("Cu"), 0.0, 0.0));
  EXPECT_EQ(chem.fractions[2], 1.0);
}

TEST(ShermanChemistryTest, SetCompoundZeroesEverythingAndWarnsOnceForAnElementNotHeld) {
  Sherman::Chemistry chem({Element("Fe"), Element("Cu")});
  chem.set(Element("Cu"), 0.3, 0.02);
  Compound compound;
  compound.set({Element("Fe"), 0.5, 0.05});
  compound.set({Element("Pb"), 0.5, 0.0});

  LogCapture log;
  chem.setCompound(compound);
  EXPECT_EQ(chem.fractions[0], 0.5);
  EXPECT_EQ(chem.uncertainties[0], 0.05);
  EXPECT_EQ(chem.fractions[1], 0.0);
  EXPECT_EQ(chem.uncertainties[1], 0.0);
  EXPECT_EQ(log.count("cannot set chem for Pb"), 1);
  EXPECT_TRUE(log.contains("cannot set chem for Pb", spdlog::level::warn));
}

TEST(ShermanChemistryTest, SetCompoundWarnsReadablyForAnElementWithoutASymbol) {
  Sherman::Chemistry chem({Element("Fe")});
  Compound compound;
  compound.set({Element(0), 0.2, 0.0});
  compound.set({Element("Fe"), 0.8, 0.0});
  LogCapture log;
  chem.setCompound(compound);
  EXPECT_EQ(chem.fractions[0], 0.8);
  EXPECT_TRUE(log.contains("cannot set chem for Z=0", spdlog::level::warn));
}

TEST(ShermanChemistryTest, ArraysKeepTheirAddressesWhenValuesChange) {
  Sherman::Chemistry chem({Element("Fe"), Element("Ni")});
  const double* fractions = chem.fractions.data();
  const double* uncertainties = chem.uncertainties.data();
  Compound compound;
  compound.set({Element("Ni"), 0.4, 0.0});
  chem.setCompound(compound);
  chem.set(Element("Fe"), 0.6, 0.0);
  EXPECT_EQ(chem.fractions.data(), fractions);
  EXPECT_EQ(chem.uncertainties.data(), uncertainties);
}

}  // namespace
}  // namespace calyx
