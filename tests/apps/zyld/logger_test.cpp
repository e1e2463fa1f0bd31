// Log bridge: level mapping, disabled levels, record emission and the out-of-range panic.
#include "include/logger.h"
#include "zyld_test_util.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Zyld::ZylApi::MirelLoggerWrapper;

struct Call {
  int level;
  std::string format;
  std::string text;
};

std::vector<Call>& Calls() {
  static std::vector<Call> calls;
  return calls;
}

void RecordingLog(int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char buffer[1024];
  vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  Calls().push_back({level, fmt, buffer});
}

class LogBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Calls().clear();
    Log_Configure(7, "");
  }
  void TearDown() override { Log_Configure(5, ""); }

  MirelLoggerWrapper bridge_{&RecordingLog};
};

TEST_F(LogBridgeTest, RecordWritesItsTextUnchangedWithPercentFormat) {
  { MIREL_LOG(&bridge_, Mirel::Log::kInfo) << "Listening on: 127.0.0.1:7888 100% %s %d"; }
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].level, 5);
  EXPECT_EQ(Calls()[0].format, "%s");
  EXPECT_EQ(Calls()[0].text, "Listening on: 127.0.0.1:7888 100% %s %d");
}

TEST_F(LogBridgeTest, DisabledHostLevelGivesNoRecordAndNoOutput) {
  Log_Configure(5, "");
  bool formatted = false;
  auto sideEffect = [&] {
    formatted = true;
    return "x";
  };
  { MIREL_LOG(&bridge_, Mirel::Log::kDebug) << sideEffect(); }
  EXPECT_EQ(bridge_.CreateRecord(Mirel::Log::kDebug), nullptr);
  EXPECT_EQ(bridge_.CreateRecord(Mirel::Log::kTrace), nullptr);
  EXPECT_FALSE(formatted);
  EXPECT_TRUE(Calls().empty());
  EXPECT_NE(bridge_.CreateRecord(Mirel::Log::kInfo), nullptr);
}

TEST_F(LogBridgeTest, RecordsReachTheHostLogWithoutAddedLineEnd) {
  ZyldTest::TempDir dir;
  ZyldTest::LogCapture capture(dir);
  MirelLoggerWrapper hostBridge(&Log_Level);
  { MIREL_LOG(&hostBridge, Mirel::Log::kError) << "Accept Error: first"; }
  { MIREL_LOG(&hostBridge, Mirel::Log::kError) << "second\n"; }
  const std::string text = capture.Text();
  EXPECT_NE(text.find(" 2 ["), std::string::npos);
  EXPECT_NE(text.find("Accept Error: first"), std::string::npos);
  EXPECT_EQ(capture.MessagesAt(2).size(), 2u);
}

using LogBridgeDeathTest = LogBridgeTest;

TEST_F(LogBridgeDeathTest, LevelAboveFivePanicsAsAProgrammingError) {
  EXPECT_DEATH(bridge_.CreateRecord(6), "NOT_REACHED .*apps/zyld/mirel/logger");
  EXPECT_DEATH(bridge_.CreateRecord(-1), "NOT_REACHED");
}

}  // namespace
