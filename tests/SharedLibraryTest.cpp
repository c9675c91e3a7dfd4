// Links libCalyx.so the way a host does and touches every family through the umbrella
// header, so that a symbol left unexported fails the build here.
#include <calyx/calyx.h>
#include <spdlog/spdlog.h>

#include <cstring>
#include <memory>
#include <set>
#include <vector>

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

TEST(SharedLibraryTest, TheEngineIsReachableThroughTheUmbrellaHeader) {
  using namespace calyx;
  getLogger()->set_level(spdlog::level::warn);
  FPRateAlgorithm::Builder builder;
  DetectorHardware detector;
  detector.Z = 14;
  detector.thickness = 500;
  detector.windowZ = 4;
  detector.windowThickness = 12.5;
  TubeHardware tube;
  tube.anodeZ = 45;
  tube.takeoffAngle = Angle::createFromDegrees(22);
  FPRateAlgorithm::Builder::Beam beam(40.0f);
  beam.addAllLinesFromElement(Element("Fe"), false);
  beam.addLine(XRFLine::create(Element("Ni"), 0)).addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.detectorHardware(detector).tubeHardware(tube).addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine;
  ASSERT_EQ(builder.create(engine), 0);

  engine->setAllLinesNotInUse();
  FPRateAlgorithm::RateMapper mapper(*engine, 0, {XRFLine::create(Element("Fe"), 0), XRFLine::create(Element("Ni"), 0)});
  float floatRates[] = {1000.0f, 200.0f};
  mapper.setRates(50.0f, floatRates, static_cast<float*>(nullptr));
  double rates[] = {1000.0, 200.0};
  mapper.setRates(50.0, rates, static_cast<double*>(nullptr));
  engine->doInitialGuess(0);
  engine->process(0);
  engine->adjustLEChem(0, 50.0, 1.0);
  EXPECT_EQ(engine->getCompound().size(), 3u);
  EXPECT_NE(engine->findLine(0, XRFLine::create(Element("Fe"), 1)), nullptr);
  getLogger()->set_level(spdlog::level::info);
}


TEST(SharedLibraryTest, PhysicsFilesAndSolversAreReachableThroughTheUmbrellaHeader) {
  using namespace calyx;
  getLogger()->set_level(spdlog::level::warn);
  const Filter al = Filter::create(Element("Al"), 100.0, 0.0);
  EXPECT_GT(al.getTransmissionCoef(20.0), 0.0);
  EXPECT_EQ(Filter::getTransmissionCoef(20.0, {}), 1.0);
  EXPECT_GT(filterTransmission(4, 12.5, 5.0), filterTransmission(4, 100.0, 5.0));
  EXPECT_GT(comptonScatterEnergy(19.0), 19.0);
  EXPECT_GT(comptonScatterCoefficient(Compound::createPure(6), 20.0), rayleahScatterCoefficient(Compound::createPure(6), 20.0));
  EXPECT_GT(rayleahScatterCoefficient(Compound::createPure(82), 20.0), 0.0);

  TubeHardware tube;
  tube.anodeZ = 45;
  tube.takeoffAngle = Angle::createFromDegrees(20);
  TubeSpectrumCreator creator;
  creator.setHardware(tube);
  creator.setVoltage(30.0);
  creator.setStepSize(1.0);
  std::shared_ptr<SpectrumBase<double>> spectrum = creator.generateTotalSpectrum();
  EXPECT_GT(spectrum->size(), 30u);

  auto chemistry = std::make_shared<Sherman::Chemistry>(std::set<Element>{Element("Fe")});
  chemistry->set(Element("Fe"), 1.0, 0.0);
  Sherman model;
  Sherman::Builder(chemistry, spectrum).addXRFLine(XRFLine::create(Element("Fe"), 0)).create(model);
  model.computeRates();
  EXPECT_GT(model.lines.at(0).rate, 0.0);
  EXPECT_GT(lineSensitivity(model.lines.at(0).line), 0.0);

  Point points[] = {{1, 2}, {2, 4}};
  EXPECT_DOUBLE_EQ(leastSqrRegression(points, 2, true).slope, 2.0);

  MCAFile mca;
  mca.setSpectrum(LinearSpectrum<double>(0.0, 0.01, std::vector<double>{1, 2, 3}));
  mca.setMetadata("Livetime", "30.5");
  EXPECT_EQ(mca.getLivetime(), 30.5);

  struct Line : OptimizationProblem::Model {
    Eigen::VectorXf p;
    unsigned int parameterCount() override { return 2; }
    void setParameters(const Eigen::VectorXf& q) override { p = q; }
    float value(float x) override { return p(0) + p(1) * x; }
    void gradient(float x, Eigen::VectorXf& g) override {
      g(0) = 1.0f;
      g(1) = x;
    }
  };
  OptimizationProblem problem(std::make_shared<Line>(), 2);
  problem.currentPoint() = Eigen::VectorXf::Zero(2);
  problem.solve(1, {0.0f, 1.0f}, {1.0f, 3.0f});
  EXPECT_NEAR(problem.currentPoint()(1), 2.0f, 1e-5f);
  getLogger()->set_level(spdlog::level::info);
}

}  // namespace
