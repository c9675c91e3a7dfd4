#include "calyx/MCAFile.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"

namespace calyx {
namespace {

using testing::tempPath;

std::string writeText(const std::string& name, const std::string& text) {
  const std::string path = tempPath(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

using testing::readFile;

std::vector<double> values(const MCAFile& file) {
  std::vector<double> v;
  for (unsigned int i = 0; i < file.getSpectrum()->size(); ++i) v.push_back(file.getSpectrum()->valueAt(i));
  return v;
}

const std::string kHeader = "Energy scale offset = 0\nEnergy scale slope = 10\n\n";

TEST(MCAFileTest, LoadsValuesOnTheEnergyScaleGivenInElectronVolts) {
  MCAFile file;
  ASSERT_EQ(MCAFile::load(writeText("basic", kHeader + "3\n1\n2\n3\n"), file), 0);
  EXPECT_EQ(values(file), (std::vector<double>{1, 2, 3}));
  EXPECT_DOUBLE_EQ(file.getSpectrum()->energyAt(0), 0.0);
  EXPECT_DOUBLE_EQ(file.getSpectrum()->energyAt(1), 0.01);  // 10 eV per channel
  EXPECT_DOUBLE_EQ(file.getSpectrum()->energyAt(2), 0.02);
  EXPECT_EQ(file.getMetadata().at("Energy scale slope"), "10");
}

TEST(MCAFileTest, LayoutVariantsGiveTheValuesThereAre) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<double> values;
  } cases[] = {
      {"no blanks around equals", "Energy scale offset=0\nEnergy scale slope=10\n\n2\n1\n2\n", {1, 2}},
      {"CRLF and a line without equals",
       "Energy scale offset = 0\r\nnote\r\nEnergy scale slope = 10\r\n \r\n2\r\n1\r\n2\r\n", {1, 2}},
      {"count followed by a word", kHeader + "1024 channels\n5\n", {5}},
      {"fewer values than the count", kHeader + "5\n1\n2\n", {1, 2}},
      {"more values than the count", kHeader + "1\n1\n2\n3\n", {1, 2, 3}},
      {"two trailing empty lines add zeros", kHeader + "2\n1\n2\n\n\n", {1, 2, 0, 0}},
      {"single precision", kHeader + "1\n0.1\n", {static_cast<double>(0.1f)}},
      // Counts far beyond what could be reserved are only a hint.
      {"huge count", kHeader + "4294967295\n7\n", {7}},
      {"overflowing count", kHeader + "99999999999999999999999\n7\n", {7}},
  };
  for (const auto& c : cases) {
    MCAFile file;
    int status = -1;
    EXPECT_NO_THROW(status = MCAFile::load(writeText("variant", c.text), file)) << c.name;
    EXPECT_EQ(status, 0) << c.name;
    ASSERT_TRUE(file.getSpectrum()) << c.name;
    EXPECT_EQ(values(file), c.values) << c.name;
    EXPECT_DOUBLE_EQ(file.getSpectrum()->getStepSize(), 0.01) << c.name;
  }
}

TEST(MCAFileTest, FailedLoadKeepsThePreviousSpectrum) {
  struct Case {
    std::string text, message;
  } cases[] = {
      {kHeader + "channels\n1\n", "could not parse num of bins: channels"},
      {kHeader + "-3\n1\n", "could not parse num of bins: -3"},
      {"Energy scale offset = 0\n\n1\n1\n", "could not find offset and slope metadata"},
      {kHeader + "3\n1\nnan\n2\n", "channel 1 of"},
      {kHeader + "2\n1\n1e39\n", "is not a finite number of counts: inf"},  // beyond single precision
      {"Energy scale offset = 0\nEnergy scale slope = 0\n\n1\n1\n", "unusable energy scale"},
      {"Energy scale offset = 0\nEnergy scale slope = inf\n\n1\n1\n", "unusable energy scale"},
      {"Energy scale offset = 0\nEnergy scale slope = nan\n\n1\n1\n", "unusable energy scale"},
  };
  for (const auto& c : cases) {
    testing::LogCapture capture;
    MCAFile file;
    file.setSpectrum(LinearSpectrum<double>(1.0, 0.5, std::vector<double>{9}));
    const auto before = file.getSpectrum();
    EXPECT_EQ(MCAFile::load(writeText("bad", c.text), file), 1) << c.message;
    EXPECT_TRUE(capture.contains(c.message, spdlog::level::err)) << c.message;
    EXPECT_EQ(file.getSpectrum(), before);
    EXPECT_EQ(values(file), std::vector<double>{9});
    EXPECT_EQ(file.getMetadata().at("Energy scale offset"), "0");  // header read so far stays
  }
}

TEST(MCAFileTest, LivetimeIsMinusOneWhenAbsent) {
  MCAFile file;
  EXPECT_EQ(file.getLivetime(), -1.0);
  file.setMetadata("Livetime", "30.5");
  EXPECT_EQ(file.getLivetime(), 30.5);
}

TEST(MCAFileTest, WrittenFileReadsBackExactlyAfterLoadAndNewSpectrum) {
  MCAFile file;
  ASSERT_EQ(MCAFile::load(writeText("source", "Livetime = 30.5\n" + kHeader + "1\n4\n"), file), 0);
  // Counts above a million and a single-precision fraction must survive the text form.
  const std::vector<double> written{1234567, static_cast<double>(0.1f), 3};
  file.setSpectrum(LinearSpectrum<double>(0.1, 0.005, written));
  const std::string path = tempPath("roundtrip");
  file.write(path);
  EXPECT_EQ(readFile(path),
            "Energy scale offset = 0\nEnergy scale slope = 10\nLivetime = 30.5\n"
            "Energy scale offset = 100\nEnergy scale slope = 5\n\n3\n1234567\n0.100000001\n3\n");

  MCAFile back;
  ASSERT_EQ(MCAFile::load(path, back), 0);
  EXPECT_EQ(values(back), written);
  EXPECT_DOUBLE_EQ(back.getSpectrum()->getFirstEnergy(), 0.1);
  EXPECT_DOUBLE_EQ(back.getSpectrum()->getStepSize(), 0.005);
  EXPECT_EQ(back.getLivetime(), 30.5);
}

TEST(MCAFileTest, WriteRefusesWithoutSpectrumOrFile) {
  testing::LogCapture capture;
  const std::string path = tempPath("nospectrum");
  std::remove(path.c_str());
  MCAFile empty;
  empty.setMetadata("Livetime", "1");
  empty.write(path);
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_TRUE(capture.contains("holds no spectrum", spdlog::level::err));

  MCAFile full;
  full.setSpectrum(LinearSpectrum<double>(0.0, 0.01, std::vector<double>{1}));
  full.write(tempPath("missing-dir/x.mca"));
  EXPECT_TRUE(capture.contains("cannot create MCA file", spdlog::level::err));
}

}  // namespace
}  // namespace calyx
