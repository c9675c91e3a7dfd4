#include "calyx/Spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "support/BufferAccess.h"

namespace calyx {
namespace {

TEST(LinearSpectrumTest, RangeGridCountsRoundTheSpanToSinglePrecision) {
  struct Case {
    double low, high, step;
    unsigned int points;
  } cases[] = {{0, 10, 1, 10}, {0, 0.3, 0.1, 3}, {0, 40.1, 0.01, 4009}, {0, 10, 0.05, 200},
               {0, 40, 1, 40},  {5, 1, 1, 0},     {0, 0, 1, 0}};
  for (const Case& c : cases) {
    LinearSpectrum<double> s(c.low, c.high, c.step);
    EXPECT_EQ(s.size(), c.points) << c.low << " " << c.high << " " << c.step;
    // The same count from the rule written out: floor(float(high - low) / step).
    const double n = std::floor(static_cast<double>(static_cast<float>(c.high - c.low)) / c.step);
    EXPECT_EQ(s.size(), n > 0 ? static_cast<unsigned int>(n) : 0u);
  }
  LinearSpectrum<float> f(0.f, 0.3f, 0.1f);
  EXPECT_EQ(f.size(), static_cast<unsigned int>(std::floor(0.3f / 0.1f)));
}

TEST(LinearSpectrumTest, GridTooLargeForABufferHasNoPoints) {
  // 1e12 points would overflow the 32-bit byte count of a buffer.
  LinearSpectrum<double> huge(0.0, 1e12, 1.0);
  EXPECT_EQ(huge.size(), 0u);
  EXPECT_EQ(detail::BufferAccess::buffer(huge), nullptr);
  huge.setValueAt(0, 1.0);  // dropped, not written out of bounds
  LinearSpectrum<double> copy(huge);
  EXPECT_EQ(copy.size(), 0u);
  EXPECT_EQ(DiscreteSpectrum<double>(0x20000000u).size(), 0u);  // 2^29 pairs of doubles = 8 GiB
}

TEST(LinearSpectrumTest, RangeGridStartsOneStepAboveLow) {
  LinearSpectrum<double> s(0.0, 10.0, 1.0);
  for (unsigned int i = 0; i < s.size(); ++i) EXPECT_EQ(s.energyAt(i), 1.0 + i);
  LinearSpectrum<double> t(0.0, 0.3, 0.1);
  EXPECT_EQ(t.energyAt(2), 0.1 + 0.1 * 2);  // 0.30000000000000004
}

TEST(LinearSpectrumTest, EmptyRangeStillHoldsABuffer) {
  LinearSpectrum<double> s(10.0, 1.0, 1.0);
  EXPECT_EQ(s.size(), 0u);
  EXPECT_NE(detail::BufferAccess::buffer(s), nullptr);
}

TEST(LinearSpectrumTest, ValuesConstructorTakesTheFirstEnergyAsGiven) {
  LinearSpectrum<double> s(5.0, 0.5, std::vector<double>{3.0, 4.0});
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s.energyAt(0), 5.0);
  EXPECT_EQ(s.energyAt(1), 5.5);
  EXPECT_EQ(s.valueAt(1), 4.0);
  EXPECT_EQ(s.getStepSize(), 0.5);
}

TEST(LinearSpectrumTest, FirstWriteAfterCopyLeavesSourceUnchanged) {
  LinearSpectrum<double> a(0.0, 1.0, std::vector<double>{1.0, 2.0, 3.0});
  LinearSpectrum<double> b;
  b = a;
  EXPECT_EQ(detail::BufferAccess::buffer(b), detail::BufferAccess::buffer(a));
  EXPECT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(a)), 2);
  b.setValueAt(0, 9.0);
  EXPECT_NE(detail::BufferAccess::buffer(b), detail::BufferAccess::buffer(a));
  EXPECT_EQ(a.valueAt(0), 1.0);
  EXPECT_EQ(b.valueAt(0), 9.0);
  EXPECT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(a)), 1);
  const SharedBuffer* own = detail::BufferAccess::buffer(b);
  b[1] = 7.0;  // already private: no second copy
  EXPECT_EQ(detail::BufferAccess::buffer(b), own);
  EXPECT_EQ(b.valueAt(1), 7.0);
  EXPECT_EQ(a.valueAt(1), 2.0);
}

TEST(LinearSpectrumTest, SelfAndSharedAssignmentKeepTheReferenceCount) {
  LinearSpectrum<double> a(0.0, 1.0, std::vector<double>{1.0});
  LinearSpectrum<double> b(a);
  ASSERT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(a)), 2);
  a = a;
  EXPECT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(a)), 2);
  b = a;
  EXPECT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(a)), 2);
  LinearSpectrum<double> none;
  b = none;
  EXPECT_EQ(detail::BufferAccess::buffer(b), nullptr);
  EXPECT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(a)), 1);
}

TEST(LinearSpectrumTest, DivisionReturnsScaledCopyAndLeavesOperand) {
  LinearSpectrum<double> a(1.0, 0.5, std::vector<double>{2.0, 5.0});
  LinearSpectrum<double> h = a / 2.0;
  EXPECT_EQ(h.valueAt(0), 1.0);
  EXPECT_EQ(h.valueAt(1), 2.5);
  EXPECT_EQ(h.energyAt(1), a.energyAt(1));
  EXPECT_EQ(a.valueAt(1), 5.0);

  LinearSpectrum<float> f(0.f, 1.f, std::vector<float>{1.f});
  EXPECT_EQ((f / 3.0).valueAt(0), static_cast<float>(1.0 / 3.0));  // divided in double
}

TEST(DiscreteSpectrumTest, PairsHoldEnergyAndValue) {
  DiscreteSpectrum<double> d(2);
  d.setEnergyAt(1, 8.0);
  d.setValueAt(1, 0.5);
  EXPECT_EQ(d.size(), 2u);
  EXPECT_EQ(d.energyAt(1), 8.0);
  EXPECT_EQ(d.valueAt(1), 0.5);

  DiscreteSpectrum<float> copy(2);
  copy.setEnergyAt(0, 1.f);
  DiscreteSpectrum<float> other(copy);
  other.setEnergyAt(0, 2.f);
  EXPECT_EQ(copy.energyAt(0), 1.f);
  EXPECT_EQ(other.energyAt(0), 2.f);
  EXPECT_EQ(DiscreteSpectrum<double>().size(), 0u);
}

TEST(ConcatSpectrumTest, JoinsPartsAndWritesThrough) {
  auto first = std::make_shared<LinearSpectrum<double>>(0.0, 1.0, std::vector<double>{1, 2, 3});
  auto second = std::make_shared<DiscreteSpectrum<double>>(2);
  second->setEnergyAt(0, 20.0);
  second->setValueAt(0, 10.0);
  second->setEnergyAt(1, 22.0);
  second->setValueAt(1, 11.0);
  std::shared_ptr<SpectrumBase<double>> a = first, b = second;
  auto joined = spectrumConcat(a, b);
  EXPECT_EQ(a.use_count(), 3);  // a, first, and the view
  ASSERT_EQ(joined->size(), 5u);
  EXPECT_EQ(joined->valueAt(3), 10.0);
  EXPECT_EQ(joined->energyAt(3), 20.0);
  EXPECT_EQ(joined->energyAt(2), 2.0);
  joined->setValueAt(4, 99.0);
  EXPECT_EQ(second->valueAt(1), 99.0);
  joined->setValueAt(0, -1.0);
  EXPECT_EQ(first->valueAt(0), -1.0);
}

TEST(SpectrumThreadsTest, CopiesWrittenFromSeveralThreadsStaySound) {
  const std::vector<double> values(1000, 1.0);
  const LinearSpectrum<double> source(0.0, 0.01, values);
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<double> sums(kThreads, 0.0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        LinearSpectrum<double> mine(source);       // share
        LinearSpectrum<double> again = mine;       // share again
        mine.setValueAt(0, static_cast<double>(t));  // private copy
        again = mine;
        sums[t] += mine.valueAt(0) + again.valueAt(999) + source.valueAt(0);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(sums[t], kRounds * (t + 1.0 + 1.0));
  EXPECT_EQ(source.valueAt(0), 1.0);
  EXPECT_EQ(detail::BufferAccess::refCount(detail::BufferAccess::buffer(source)), 1);  // every copy gave its reference back
}

}  // namespace
}  // namespace calyx
