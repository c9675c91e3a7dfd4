#include "calyx/OptimizationProblem.h"

#include <cmath>
#include <initializer_list>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "support/LogCapture.h"

namespace calyx {
namespace {

// f(x) = p0 + p1 x, counting its calls.
class LineModel : public OptimizationProblem::Model {
 public:
  int calls = 0;
  unsigned int parameterCount() override { return 2; }
  void setParameters(const Eigen::VectorXf& p) override {
    ++calls;
    p_ = p;
  }
  float value(float x) override {
    ++calls;
    return p_[0] + p_[1] * x;
  }
  void gradient(float x, Eigen::VectorXf& g) override {
    ++calls;
    g[0] = 1.0f;
    g[1] = x;
  }

 private:
  Eigen::VectorXf p_;
};

// f(x) = a exp(b x), nonlinear in b.
class ExpModel : public OptimizationProblem::Model {
 public:
  unsigned int parameterCount() override { return 2; }
  void setParameters(const Eigen::VectorXf& p) override { p_ = p; }
  float value(float x) override { return p_[0] * std::exp(p_[1] * x); }
  void gradient(float x, Eigen::VectorXf& g) override {
    g[0] = std::exp(p_[1] * x);
    g[1] = p_[0] * x * std::exp(p_[1] * x);
  }

 private:
  Eigen::VectorXf p_;
};

// Dynamic vectors only: GCC 12 misreads mixed fixed/dynamic Eigen sizes as out of bounds.
Eigen::VectorXf vec(std::initializer_list<float> entries) {
  Eigen::VectorXf v(static_cast<Eigen::Index>(entries.size()));
  Eigen::Index i = 0;
  for (float e : entries) v[i++] = e;
  return v;
}

// Least-squares line through (0, 1), (1, 2.9), (2, 5.2), (3, 7): with Σx = 6, Σx² = 14,
// Σy = 16.1, Σxy = 34.3 the slope is (4·34.3 − 6·16.1) / (4·14 − 36) = 2.03 and the
// intercept (16.1 − 6·2.03) / 4 = 0.98.
const std::vector<float> kX{0, 1, 2, 3};
const std::vector<float> kY{1.0f, 2.9f, 5.2f, 7.0f};
const Eigen::VectorXf kLine = vec({0.98f, 2.03f});
constexpr float kTolerance = 2e-5f;  // single-precision rounding of a few operations

TEST(OptimizationProblemTest, LinearModelReachesLeastSquaresLineInOneFullStep) {
  OptimizationProblem problem(std::make_shared<LineModel>(), 4);
  problem.currentPoint() = vec({5.0f, -3.0f});
  problem.solve(1, kX, kY);
  EXPECT_LT((problem.currentPoint() - kLine).norm(), kTolerance);
  // Residuals belong to the start point 5 − 3x.
  const Eigen::VectorXf startResiduals = vec({-4.0f, 0.9f, 6.2f, 11.0f});
  EXPECT_LT((problem.residuals() - startResiduals).norm(), 1e-5f);
  problem.solve(1, kX, kY);
  EXPECT_LT((problem.currentPoint() - kLine).norm(), kTolerance);
}

TEST(OptimizationProblemTest, HalfStepsHalveTheDistanceEveryIteration) {
  OptimizationProblem problem(std::make_shared<LineModel>(), 4);
  problem.setStepFactor(0.5f);
  problem.currentPoint() = vec({-7.0f, 12.0f});
  float distance = (problem.currentPoint() - kLine).norm();
  for (int i = 0; i < 6; ++i) {
    problem.solve(1, kX, kY);
    const float next = (problem.currentPoint() - kLine).norm();
    EXPECT_NEAR(next / distance, 0.5f, 1e-3f) << "iteration " << i;
    distance = next;
  }
}

TEST(OptimizationProblemTest, NonlinearModelRecoversKnownParameters) {
  std::vector<float> x, y;
  for (int i = 0; i < 10; ++i) {
    x.push_back(0.1f * i);
    y.push_back(2.5f * std::exp(-1.5f * x.back()));
  }
  OptimizationProblem problem(std::make_shared<ExpModel>(), 10);
  problem.currentPoint() = vec({1.0f, 0.0f});
  problem.solve(20, x, y);
  EXPECT_NEAR(problem.currentPoint()[0], 2.5f, 1e-4f);
  EXPECT_NEAR(problem.currentPoint()[1], -1.5f, 1e-4f);
}

TEST(OptimizationProblemTest, ZeroGradientTakesTheMinimumNormStepOfZero) {
  class Flat : public LineModel {
    void gradient(float, Eigen::VectorXf& g) override { g.setZero(); }
  };
  OptimizationProblem problem(std::make_shared<Flat>(), 4);
  problem.currentPoint() = vec({5.0f, -3.0f});
  problem.solve(3, kX, kY);
  EXPECT_EQ(problem.currentPoint(), vec({5.0f, -3.0f}));
}

TEST(OptimizationProblemTest, ZeroIterationsAndShortDataChangeNothing) {
  testing::LogCapture capture;
  auto model = std::make_shared<LineModel>();
  OptimizationProblem problem(model, 4);
  problem.currentPoint() = vec({5.0f, -3.0f});
  problem.solve(1, kX, kY);
  const Eigen::VectorXf point = problem.currentPoint();
  const Eigen::VectorXf residuals = problem.residuals();
  const int calls = model->calls;

  problem.solve(0, {9, 9, 9, 9}, {9, 9, 9, 9});
  problem.solve(5, {0, 1}, {1, 2});  // fewer points than the problem was made for
  EXPECT_EQ(problem.currentPoint(), point);
  EXPECT_EQ(problem.residuals(), residuals);
  EXPECT_EQ(model->calls, calls);
  EXPECT_TRUE(capture.contains("optimisation needs 4 data points", spdlog::level::err));
}

}  // namespace
}  // namespace calyx
