// Spectrum readers: each format's energy scale, live time and counts, and malformed files
// reported through the status.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "calyx/SpectrumFit.h"
#include "support/HandheldEngine.h"

namespace calyx {
namespace {

struct ReaderCase {
  const char* what;
  const char* text;
  int status;
  unsigned int channels;
  double firstKeV, stepKeV, liveTime;
};

TEST(SpectrumReadersTest, ReadsEachFormatAndRejectsMalformedFiles) {
  const ReaderCase cases[] = {
      // Calibration points at channels 10 and 110: 0.21 keV + 0.02 keV per channel.
      {"pmca", "<<PMCA SPECTRUM>>\nTAG - live_data\nLIVE_TIME - 29.5\nREAL_TIME - 31\n<<CALIBRATION>>\n"
               "LABEL - Channel\n10 0.41\n110 2.41\n<<DATA>>\n5\n6\n7\n<<END>>\n",
       0, 3, 0.21, 0.02, 29.5},
      {"pmca with one point", "<<PMCA SPECTRUM>>\nLIVE_TIME - 1\n<<CALIBRATION>>\n10 0.41\n<<DATA>>\n5\n<<END>>\n", 1,
       0, 0, 0, 0},
      {"pmca bad count", "<<PMCA SPECTRUM>>\n<<CALIBRATION>>\n0 0\n1 0.01\n<<DATA>>\n5\nx\n<<END>>\n", 1, 0, 0, 0, 0},
      {"pmca negative count", "<<PMCA SPECTRUM>>\n<<CALIBRATION>>\n0 0\n1 0.01\n<<DATA>>\n-5\n<<END>>\n", 1, 0, 0, 0,
       0},
      {"pmca bad live time", "<<PMCA SPECTRUM>>\nLIVE_TIME - nan\n<<CALIBRATION>>\n0 0\n1 0.01\n<<DATA>>\n5\n<<END>>\n",
       1, 0, 0, 0, 0},
      {"emsa in eV", "#FORMAT      : EMSA/MAS Spectral Data File\n#VERSION : 1.0\n#NPOINTS : 4\n#XUNITS : eV\n"
                     "#XPERCHAN : 10.0\n#OFFSET : -20\n#LIVETIME  -s: 12.5\n#SPECTRUM :\n1, 2, 3\n4\n#ENDOFDATA :\n",
       0, 4, -0.02, 0.01, 12.5},
      {"emsa xy in keV", "#FORMAT : EMSA/MAS Spectral Data File\n#DATATYPE : XY\n#XUNITS : keV\n#XPERCHAN : 0.02\n"
                         "#SPECTRUM :\n0.5, 10\n0.52, 11\n#ENDOFDATA :\n",
       0, 2, 0.5, 0.02, -1.0},
      {"emsa without step", "#FORMAT : EMSA/MAS Spectral Data File\n#SPECTRUM :\n1, 2\n", 1, 0, 0, 0, 0},
      {"emsa zero step", "#FORMAT : EMSA/MAS Spectral Data File\n#XPERCHAN : 0\n#SPECTRUM :\n1, 2\n", 1, 0, 0, 0, 0},
      {"emsa unknown unit", "#FORMAT : EMSA\n#XUNITS : furlong\n#XPERCHAN : 1\n#SPECTRUM :\n1\n", 1, 0, 0, 0, 0},
      {"two columns", "# energy counts\n1.00 5\n1.01 6\n1.02 7\n", 0, 3, 1.0, 0.01, -1.0},
      {"uneven columns", "1.00 5\n1.01 6\n1.05 7\n", 1, 0, 0, 0, 0},
      {"one column", "5\n6\n", 1, 0, 0, 0, 0},
      {"infinite count", "1.00 5\n1.01 inf\n", 1, 0, 0, 0, 0},
      {"empty", "", 1, 0, 0, 0, 0},
  };
  testing::LogLevelGuard quiet(spdlog::level::off);
  for (const ReaderCase& c : cases) {
    MeasuredSpectrum s;
    EXPECT_EQ(parseSpectrumText(c.text, s), c.status) << c.what;
    if (c.status != 0) {
      EXPECT_FALSE(s.spectrum) << c.what;
      continue;
    }
    ASSERT_TRUE(s.spectrum) << c.what;
    EXPECT_EQ(s.spectrum->size(), c.channels) << c.what;
    EXPECT_NEAR(s.spectrum->getFirstEnergy(), c.firstKeV, 1e-9) << c.what;
    EXPECT_NEAR(s.spectrum->getStepSize(), c.stepKeV, 1e-9) << c.what;
    EXPECT_DOUBLE_EQ(s.liveTimeSeconds, c.liveTime) << c.what;
  }
}

}  // namespace
}  // namespace calyx
