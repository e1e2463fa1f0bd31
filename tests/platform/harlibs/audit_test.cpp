// Audit log: record content and escaping, file mode, appending, failures that never throw.
#include <harlibs/audit.h>
#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace {

namespace json = boost::json;

class AuditTest : public ::testing::Test {
 protected:
  void SetUp() override { VlrAudit_Configure(path_); }
  void TearDown() override { VlrAudit_Configure(""); }
  std::vector<json::object> Records() const {
    std::vector<json::object> out;
    for (const auto& line : ZyldTest::Lines(ZyldTest::ReadAll(path_))) {
      out.push_back(json::parse(line).as_object());
    }
    return out;
  }

  ZyldTest::TempDir dir_;
  std::string path_ = dir_.File("audit.log");
};

TEST_F(AuditTest, RecordHasAllFieldsAndEscapesText) {
  const VlrAuditItem items[] = {{"provider", "p\"1\\x"},
                                {"note", "line1\nline2\ttab\x01"},
                                {"bad", "\xff\xfe ok"},
                                {"empty", nullptr},
                                {nullptr, nullptr}};
  VlrAudit_LogList("com.velora.ovik.kms.GenerateKey", "uid=1000", "kp-1", true, items);
  VlrAudit_LogList("ev2", nullptr, "", false, nullptr);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  const auto& r = records[0];
  EXPECT_EQ(r.at("eventID").as_string(), "com.velora.ovik.kms.GenerateKey");
  EXPECT_EQ(r.at("subject").as_string(), "uid=1000");
  EXPECT_EQ(r.at("object").as_string(), "kp-1");
  EXPECT_EQ(r.at("result").as_bool(), true);
  EXPECT_TRUE(r.at("time").is_string());
  const auto& it = r.at("items").as_object();
  EXPECT_EQ(it.at("provider").as_string(), "p\"1\\x");
  EXPECT_EQ(it.at("note").as_string(), "line1\nline2\ttab\x01");
  EXPECT_EQ(it.at("bad").as_string(), "\xef\xbf\xbd\xef\xbf\xbd ok");
  EXPECT_EQ(it.at("empty").as_string(), "");
  EXPECT_EQ(records[1].at("result").as_bool(), false);
  EXPECT_EQ(records[1].at("subject").as_string(), "");
  EXPECT_TRUE(records[1].at("items").as_object().empty());
}

TEST_F(AuditTest, FileIsPrivateAndAppendedTo) {
  ZyldTest::WriteAll(path_, "");
  ::chmod(path_.c_str(), 0644);
  VlrAudit_LogList("a", "s", "o", true, nullptr);
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  EXPECT_EQ(before.st_mode & 0777, 0600u);  // an existing file is narrowed
  std::remove(path_.c_str());
  VlrAudit_LogList("b", "s", "o", true, nullptr);  // created afresh
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  VlrAudit_LogList("c", "s", "o", true, nullptr);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("eventID").as_string(), "b");
  EXPECT_EQ(records[1].at("eventID").as_string(), "c");
}

TEST_F(AuditTest, ConcurrentRecordsStayWholeLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::string value(300, static_cast<char>('a' + t));
      const VlrAuditItem items[] = {{"v", value.c_str()}, {nullptr, nullptr}};
      for (int i = 0; i < 200; ++i) {
        VlrAudit_LogList("ev", "s", "o", true, items);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  auto records = Records();  // every line parses as one JSON object
  EXPECT_EQ(records.size(), 800u);
}

TEST_F(AuditTest, WriteFailureIsLoggedNotFatal) {
  std::string logPath = dir_.File("host.log");
  Log_Configure(5, logPath);
  VlrAudit_Configure(dir_.File("no/such/dir/audit.log"));
  VlrAudit_LogList("lost", "s", "o", true, nullptr);
  Log_Configure(5, "");
  std::string log = ZyldTest::ReadAll(logPath);
  EXPECT_NE(log.find(" 2 ["), std::string::npos) << log;
  EXPECT_NE(log.find("lost"), std::string::npos) << log;
}

}  // namespace
