// Host control: the system-information operation logs the process at level 6.
#include <corvexctl/corvexctl.h>

#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <test_files.h>
#include <test_log.h>
#include <test_temp_dir.h>

namespace {

TEST(SystemInfoTest, LogsTheProcessAtTracingLevelAndRejectsBadIds) {
  TestSupport::TempDir dir;
  auto info = HostCtl::Host::GetSystemInfo();
  ASSERT_NE(info, nullptr);
  TestSupport::LogCapture log(dir, 5);
  info->LogProcess(getpid(), 0);  // below the threshold
  Log_Configure(6, dir.File("host.log"));
  info->LogProcess(getpid(), 0);
  auto lines = TestSupport::Lines(log.Text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" 6 ["), std::string::npos);
  EXPECT_NE(lines[0].find(std::to_string(getpid())), std::string::npos);
  EXPECT_THROW(info->LogProcess(0, 0), HostCtl::Lib::HostCtlException);
  EXPECT_THROW(info->LogProcess(-5, 0), std::runtime_error);
}

}  // namespace
