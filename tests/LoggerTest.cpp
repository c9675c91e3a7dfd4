#include "calyx/Logger.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "detail/Log.h"
#include "detail/LogSink.h"
#include "support/LogCapture.h"

namespace calyx {
namespace {

struct Written {
  int priority;
  std::string tag, text;
};
std::vector<Written> written;
int writeResult = 1;

int standInLogWrite(int priority, const char* tag, const char* text) {
  written.push_back({priority, tag, text});
  return writeResult;
}

std::shared_ptr<spdlog::logger> standInLogger() {
  written.clear();
  writeResult = 1;
  auto sink = std::make_shared<detail::SystemLogSink>(detail::kLogTag, &standInLogWrite);
  return std::make_shared<spdlog::logger>(detail::kLoggerName, sink);
}

TEST(LoggerTest, LevelsMapToAndroidPrioritiesByAddingTwo) {
  using L = spdlog::level::level_enum;
  struct Case {
    L level;
    int priority;
  } cases[] = {{L::trace, 2}, {L::debug, 3}, {L::info, 4}, {L::warn, 5},
               {L::err, 6},   {L::critical, 7}, {L::off, 1}};
  for (const Case& c : cases) EXPECT_EQ(detail::androidLogPriority(c.level), c.priority);

  auto log = standInLogger();
  log->set_level(L::trace);
  log->warn("w");
  log->error("e");
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].priority, 5);
  EXPECT_EQ(written[1].priority, 6);
  EXPECT_EQ(written[0].tag, "calyx");
}

TEST(LoggerTest, LineCarriesTimeLoggerNameLevelSourcePrefixAndMessage) {
  auto log = standInLogger();
  auto* saved = logger.get();
  ASSERT_NE(saved, nullptr);
  // The library's macro builds the prefix; route one message through the stand-in sink.
  saved->sinks().push_back(log->sinks().front());
  CALYX_LOG_WARN("cannot set chem for {:s}", "Pb");
  saved->sinks().pop_back();
  ASSERT_EQ(written.size(), 1u);
  const std::regex line(
      R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[console\] \[warning\] )"
      R"(\[tests/LoggerTest\.cpp:\d+\] cannot set chem for Pb\n$)");
  EXPECT_TRUE(std::regex_match(written[0].text, line)) << written[0].text;
}

TEST(LoggerTest, LibraryLoggerIsNamedConsoleAtInfoAndRegistered) {
  ASSERT_NE(getLogger(), nullptr);
  EXPECT_EQ(getLogger()->name(), "console");
  EXPECT_EQ(getLogger()->level(), spdlog::level::info);
  EXPECT_EQ(spdlog::get("console"), logger);
}

TEST(LoggerTest, HostLoggerNamedConsoleDoesNotStopTheLibraryLogger) {
  // A host that registered "console" first: making the library's logger must not throw,
  // and it must still log.
  auto host = spdlog::get("console");
  ASSERT_NE(host, nullptr);
  std::shared_ptr<spdlog::logger> twin;
  EXPECT_NO_THROW(twin = detail::makeLibraryLogger());
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(twin->name(), "console");
  EXPECT_EQ(spdlog::get("console"), host);  // the host keeps its registration
}

TEST(LoggerTest, FailuresInsideLoggingNeverReachTheCaller) {
  auto log = standInLogger();
  writeResult = -5;
  EXPECT_NO_THROW(log->error("lost"));
  EXPECT_EQ(written.size(), 1u);
  writeResult = 1;
  written.clear();
  EXPECT_NO_THROW(log->info(fmt::runtime("{} and {}"), 1));  // an argument is missing
  EXPECT_TRUE(written.empty());
}

TEST(LoggerTest, RaisedLevelSkipsBuildingTheMessage) {
  int built = 0;
  auto expensive = [&built] {
    ++built;
    return std::string("text");
  };
  getLogger()->set_level(spdlog::level::warn);
  CALYX_LOG_INFO("trace {}", expensive());
  getLogger()->set_level(spdlog::level::info);
  EXPECT_EQ(built, 0);
  testing::LogCapture capture;
  CALYX_LOG_INFO("trace {}", expensive());
  EXPECT_EQ(built, 1);
  EXPECT_TRUE(capture.contains("trace text"));
}

TEST(LoggerTest, PrintfHelperFormatsLikePrintf) {
  EXPECT_EQ(detail::formatPrintf("y = %2.8lfx + %2.8f\n", 2.0, 1.0), "y = 2.00000000x + 1.00000000\n");
  EXPECT_EQ(detail::formatPrintf("%0.5E", 12345.678), "1.23457E+04");
  EXPECT_EQ(detail::formatPrintf("%s", ""), "");
}

}  // namespace
}  // namespace calyx
