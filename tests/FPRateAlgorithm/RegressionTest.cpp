#include "calyx/Regression.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/LogCapture.h"

namespace calyx {
namespace {

// The logged texts without their "[file:line] " prefix, checking that every one has it.
std::vector<std::string> reportLines(const testing::LogCapture& capture) {
  std::vector<std::string> lines;
  for (const auto& m : capture.messages()) {
    EXPECT_EQ(m.level, spdlog::level::info);
    EXPECT_EQ(m.text.rfind("[src/FPRateAlgorithm/Regression.cpp:", 0), 0u) << m.text;
    lines.push_back(m.text.substr(m.text.find("] ") + 2));
  }
  return lines;
}

TEST(RegressionTest, FitsRecoverHandWorkedLinesWithAndWithoutIntercept) {
  struct Case {
    std::vector<Point> points;
    bool throughOrigin;
    double slope, intercept;
  } cases[] = {
      {{{1, 2}, {2, 4}, {3, 6}}, true, 2.0, 0.0},
      {{{1, 2}, {2, 4}, {3, 6}}, false, 2.0, 0.0},
      {{{0, 1}, {1, 3}, {2, 5}}, false, 2.0, 1.0},
      {{{0, 1}, {1, 3}, {2, 5}}, true, 13.0 / 5.0, 0.0},  // Σxy / Σx² = 13 / 5
  };
  for (auto& c : cases) {
    const auto r = leastSqrRegression(c.points.data(), 3, c.throughOrigin);
    EXPECT_NEAR(r.slope, c.slope, 1e-12) << c.throughOrigin;
    EXPECT_NEAR(r.intercept, c.intercept, 1e-12) << c.throughOrigin;
    if (c.throughOrigin) {
      EXPECT_EQ(r.intercept, 0.0);
    }
  }
}

TEST(RegressionTest, ReportListsMeansLineTableAndStatisticsInPrintfFormat) {
  testing::LogCapture capture;
  std::vector<Point> points{{1, 2}, {2, 4}, {3, 6}};
  leastSqrRegression(points.data(), 3, false);
  const std::string rule60(60, '-');
  const std::vector<std::string> expected{
      "x mean(AVGx) = 2.00000E+00\n",
      "y mean(AVGy) = 4.00000E+00\n",
      "\n",
      "The linear equation that best fits the given data:\n",
      "       y = 2.00000000x + 0.00000000\n",
      rule60 + "\n",
      "   Original (x,y)   (y_i - y_avg)^2     (y_i - a_o - a_1*x_i)^2\n",
      rule60 + "\n",
      "   (1.00 2.00)      4.00000E+00         0.00000E+00\n",
      "   (2.00 4.00)      0.00000E+00         0.00000E+00\n",
      "   (3.00 6.00)      4.00000E+00         0.00000E+00\n",
      std::string(50, '-') + "\n",
      "Sum of (y_i - y_avg)^2 = 8.00000E+00\t\n",
      "Sum of (y_i - a_o - a_1*x_i)^2 = 0.00000E+00\t\n",
      "Standard deviation(St) = 2.00000E+00\n",  // √(8 / 2)
      "Standard error of the estimate(Sr) = 0.00000E+00\t\n",
      "Coefficent of determination(r^2) = 1.00000E+00\t\n",
      "Correlation coefficient(r) = 1.00000E+00\t\n",
  };
  EXPECT_EQ(reportLines(capture), expected);
}

TEST(RegressionTest, PoorFitThroughOriginLogsNegativeDeterminationAndNanCorrelation) {
  // Slope 68/14 = 34/7; residuals 36/7, 9/7, -18/7 give Sr = 1701/49 against St = 2,
  // so r² = (2 - 1701/49) / 2 = -1603/98.
  testing::LogCapture capture;
  std::vector<Point> points{{1, 10}, {2, 11}, {3, 12}};
  const auto r = leastSqrRegression(points.data(), 3, true);
  EXPECT_NEAR(r.slope, 34.0 / 7.0, 1e-12);
  const auto lines = reportLines(capture);
  ASSERT_EQ(lines.size(), 18u);
  EXPECT_EQ(lines[13], "Sum of (y_i - a_o - a_1*x_i)^2 = 3.47143E+01\t\n");
  EXPECT_EQ(lines[16], "Coefficent of determination(r^2) = -1.63571E+01\t\n");
  EXPECT_NE(lines[17].find("NAN"), std::string::npos) << lines[17];
}

TEST(RegressionTest, EmptyDataSetIsReportedAndGivesZeroLine) {
  testing::LogCapture capture;
  std::vector<Point> points{{1, 2}};
  for (Point* p : {static_cast<Point*>(nullptr), points.data()}) {
    capture.clear();
    const auto r = leastSqrRegression(p, p == nullptr ? 5 : 0, false);
    EXPECT_EQ(r.slope, 0.0);
    EXPECT_EQ(r.intercept, 0.0);
    EXPECT_EQ(reportLines(capture), std::vector<std::string>{"Empty data set!\n"});
  }
}

TEST(RegressionTest, DegenerateDataGiveNonFiniteSlopeWithoutFailing) {
  testing::LogCapture capture;
  std::vector<Point> single{{2, 3}};
  std::vector<Point> sameX{{2, 3}, {2, 5}};
  EXPECT_FALSE(std::isfinite(leastSqrRegression(single.data(), 1, false).slope));
  EXPECT_FALSE(std::isfinite(leastSqrRegression(single.data(), 1, false).intercept));
  EXPECT_FALSE(std::isfinite(leastSqrRegression(sameX.data(), 2, false).slope));
  // A negative count reads nothing and is not taken for an empty set: 0/0.
  EXPECT_TRUE(std::isnan(leastSqrRegression(single.data(), -1, false).slope));
  EXPECT_FALSE(capture.contains("Empty data set!"));
}

}  // namespace
}  // namespace calyx
