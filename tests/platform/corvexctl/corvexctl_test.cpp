// Host control: the system-information operation logs the process at level 6.
#include <corvexctl/corvexctl.h>

#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <test_files.h>
#include <test_temp_dir.h>

namespace {

TEST(SystemInfoTest, LogsTheProcessAtTracingLevelAndRejectsBadIds) {
  TestSupport::TempDir dir;
  std::string log = dir.File("host.log");
  auto info = HostCtl::Host::GetSystemInfo();
  ASSERT_NE(info, nullptr);
  Log_Configure(5, log);
  info->LogProcess(getpid(), 0);  // below the threshold
  Log_Configure(6, log);
  info->LogProcess(getpid(), 0);
  Log_Configure(5, "");
  auto lines = TestSupport::Lines(TestSupport::ReadFile(log));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" 6 ["), std::string::npos);
  EXPECT_NE(lines[0].find(std::to_string(getpid())), std::string::npos);
  EXPECT_THROW(info->LogProcess(0, 0), HostCtl::Lib::HostCtlException);
  EXPECT_THROW(info->LogProcess(-5, 0), std::runtime_error);
}

}  // namespace
