// Links libCalyx.so the way a host does and touches every family through the umbrella
// header, so that a symbol left unexported fails the build here.
#include <calyx/calyx.h>

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

namespace {

TEST(SharedLibraryTest, FoundationsAreReachableThroughTheUmbrellaHeader) {
  using namespace calyx;
  EXPECT_STREQ(versionString(), CALYX_VERSION_STRING);
  ASSERT_NE(getLogger(), nullptr);
  EXPECT_EQ(getLogger(), logger.get());

  Compound c;
  ASSERT_TRUE(Compound::fromFormula("SiO2", c));
  EXPECT_EQ(c.size(), 2u);
  EXPECT_EQ(compoundToString(Compound()), "\n");
  EXPECT_STREQ(Element("Fe").symbol(), "Fe");
  EXPECT_EQ(Element(26).atomicNumber(), 26);

  XRFLine ka = XRFLine::create(Element("Fe"), 0);
  EXPECT_TRUE(ka.isValid());
  EXPECT_EQ(lineToShell.at(2), 3);
  EXPECT_EQ(lineSymbols.at("KB"), 1);
  EXPECT_EQ(individualLines.size(), 11u);
  EXPECT_EQ(groupLines.size(), 4u);
  EXPECT_DOUBLE_EQ(Angle::createFromDegrees(90).getDegrees(), 90.0);

  LinearSpectrum<float> f(0.f, 10.f, 1.f);
  LinearSpectrum<double> d(0.0, 10.0, 1.0);
  DiscreteSpectrum<float> df(1);
  DiscreteSpectrum<double> dd(1);
  EXPECT_EQ(f.size(), 10u);
  EXPECT_EQ(d.size(), 10u);
  EXPECT_EQ(df.size() + dd.size(), 2u);
  std::shared_ptr<SpectrumBase<double>> a = std::make_shared<LinearSpectrum<double>>(d);
  std::shared_ptr<SpectrumBase<double>> b = std::make_shared<DiscreteSpectrum<double>>(dd);
  EXPECT_EQ(spectrumConcat(a, b)->size(), 11u);

  SharedBuffer* buf = SharedBuffer::alloc(8);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(buf->release(0), 1);
}

}  // namespace
