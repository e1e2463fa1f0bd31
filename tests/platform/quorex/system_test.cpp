// QuickExit: the status reaches the parent, the log is written, no exit handlers run.
#include <quorex/system.h>

#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <test_files.h>
#include <test_temp_dir.h>

namespace {

std::string gMarker;

void WriteMarker() { TestSupport::WriteFile(gMarker, "exit handler ran"); }

TEST(QuickExitTest, EndsWithStatusAfterFlushingWithoutExitHandlers) {
  TestSupport::TempDir dir;
  std::string log = dir.File("host.log");
  gMarker = dir.File("marker");
  for (int status : {0, 1, 3}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::atexit(WriteMarker);
      Log_Configure(5, log);
      Log_Level(kLogNotable, "Exiting with status %d\n", status);
      Quorex::System::QuickExit(status);
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), status);
  }
  std::string text = TestSupport::ReadFile(log);
  EXPECT_NE(text.find("Exiting with status 0"), std::string::npos);
  EXPECT_NE(text.find("Exiting with status 3"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(gMarker));
}

}  // namespace
