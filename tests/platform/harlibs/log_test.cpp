// Host log: line format and ids, threshold, one whole line per call under concurrency, Panic.
#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <test_files.h>
#include <test_temp_dir.h>

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { Log_Configure(5, path_); }
  void TearDown() override { Log_Configure(5, ""); }
  std::vector<std::string> Lines() const {
    return TestSupport::Lines(TestSupport::ReadFile(path_));
  }

  TestSupport::TempDir dir_;
  std::string path_ = dir_.File("host.log");
};

TEST_F(LogTest, ThresholdFiltersAndLevelZeroAlwaysPasses) {
  Log_Configure(3, path_);
  EXPECT_TRUE(Log_IsEnabled(0));
  EXPECT_TRUE(Log_IsEnabled(3));
  EXPECT_FALSE(Log_IsEnabled(4));
  Log_Level(4, "dropped\n");
  Log_Level(3, "kept\n");
  Log_Configure(-1, path_);
  Log_Level(0, "record\n");
  Log_Level(1, "dropped too\n");
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" 3 ["), std::string::npos);
  EXPECT_NE(lines[0].find("kept"), std::string::npos);
  EXPECT_NE(lines[1].find(" 0 ["), std::string::npos);
}

// A missing line end is added, long text is cut, control characters in the text are escaped:
// every call is one line.
TEST_F(LogTest, EveryCallIsOneLine) {
  Log_Level(5, "no newline");
  std::string big(20000, 'x');
  Log_Level(5, "%s\n", big.c_str());
  Log_Level(3, "provider %s added\n",
            "p\n2026-01-01T00:00:00.000Z zyld[1] 0 [1] forged\r\x01\x7f\t");
  Log_Level(3, "%s\n", "trailing\n");
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("no newline"), std::string::npos);
  EXPECT_LT(lines[1].size(), big.size());
  EXPECT_NE(lines[2].find(" 3 ["), std::string::npos);
  EXPECT_NE(lines[2].find("provider p\\n2026-01-01T00:00:00.000Z zyld[1] 0 [1] forged\\r\\x01\\x7f"
                          "\\t added"),
            std::string::npos)
      << lines[2];
  EXPECT_NE(lines[3].find("trailing\\n"), std::string::npos) << lines[3];
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string payload(100 + t * 10, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        Log_Level(5, "t%d i%d %s\n", t, i, payload.c_str());
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  auto lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::regex format(R"(^\S+ zyld\[\d+\] 5 \[\d+\] t(\d) i\d+ ([a-h]+)$)");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, format)) << line;
    int t = std::stoi(m[1]);
    EXPECT_EQ(m[2].str(), std::string(100 + t * 10, static_cast<char>('a' + t)));
  }
}

// {pid, tid} of a line of level 5 in the full format: time, program[pid], level [tid], text.
std::pair<long, long> IdsOf(const std::string& line) {
  static const std::regex format(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z zyld\[(\d+)\] 5 \[(\d+)\] [a-z ]+$)");
  std::smatch m;
  EXPECT_TRUE(std::regex_match(line, m, format)) << line;
  return m.empty() ? std::pair<long, long>{-1, -1}
                   : std::pair<long, long>{std::stol(m[1]), std::stol(m[2])};
}

TEST_F(LogTest, LinesCarryTheWritersProcessAndThreadAlsoAfterFork) {
  const long self = static_cast<long>(getpid());
  const long mainTid = static_cast<long>(syscall(SYS_gettid));
  Log_Level(5, "parent %s\n", "before");
  long workerTid = 0;
  std::thread([&workerTid] {
    workerTid = static_cast<long>(syscall(SYS_gettid));
    Log_Level(5, "worker\n");
  }).join();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Log_Level(5, "child\n");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  Log_Level(5, "parent after\n");
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(IdsOf(lines[0]), std::make_pair(self, mainTid));
  EXPECT_EQ(IdsOf(lines[1]), std::make_pair(self, workerTid));
  EXPECT_NE(workerTid, mainTid);
  // The forking thread is the child's main thread: its id is the child's pid.
  EXPECT_EQ(IdsOf(lines[2]), std::make_pair(static_cast<long>(child), static_cast<long>(child)));
  EXPECT_EQ(IdsOf(lines[3]), std::make_pair(self, mainTid));
}

// Milliseconds since the epoch of a line's time stamp, -1 when it does not parse.
int64_t StampMs(const std::string& line) {
  tm utc{};
  int ms = -1;
  const char* rest = strptime(line.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
  if (rest == nullptr || sscanf(rest, ".%3dZ ", &ms) != 1) {
    return -1;
  }
  return static_cast<int64_t>(timegm(&utc)) * 1000 + ms;
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TEST_F(LogTest, TimeStampFollowsTheClockAcrossSeconds) {
  for (int i = 0; i < 6; ++i) {
    const int64_t before = NowMs();
    Log_Level(5, "tick %d\n", i);
    const int64_t after = NowMs();
    const std::string line = Lines().at(static_cast<size_t>(i));
    EXPECT_GE(StampMs(line), before) << line;
    EXPECT_LE(StampMs(line), after) << line;
    std::this_thread::sleep_for(std::chrono::milliseconds(230));  // the lines span a second change
  }
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, PanicAndMacrosAbortWithTheirText) {
  Log_Configure(5, "");
  EXPECT_DEATH(Panic("fatal %d\n", 7), "zyld\\[[0-9]+\\] 0 \\[[0-9]+\\] fatal 7");
  EXPECT_DEATH(NOT_REACHED(), "NOT_REACHED .*log_test.cpp:[0-9]+");
  int zero = 0;
  EXPECT_DEATH(VERIFY(zero == 1), "VERIFY .*log_test.cpp:[0-9]+");
  VERIFY(zero == 0);
}

}  // namespace
