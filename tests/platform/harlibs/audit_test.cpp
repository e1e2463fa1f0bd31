// Audit log: record content and escaping, file mode, appending, following the path, grouped
// writes of concurrent records, failures that never throw.
#include <harlibs/audit.h>
#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <algorithm>
#include <cerrno>
#include <string>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <test_files.h>
#include <test_log.h>
#include <test_temp_dir.h>
#include <test_wait.h>

namespace {

namespace json = boost::json;

// Lowers the soft file size limit for the scope (writes past it fail with EFBIG).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
};

class AuditTest : public ::testing::Test {
 protected:
  void SetUp() override { VlrAudit_Configure(path_); }
  void TearDown() override { VlrAudit_Configure(""); }
  std::vector<json::object> Records() const {
    std::vector<json::object> out;
    for (const auto& line : TestSupport::Lines(TestSupport::ReadFile(path_))) {
      out.push_back(json::parse(line).as_object());
    }
    return out;
  }

  TestSupport::TempDir dir_;
  std::string path_ = dir_.File("audit.log");
};

TEST_F(AuditTest, RecordHasAllFieldsAndEscapesText) {
  const VlrAuditItem items[] = {{"provider", "p\"1\\x"}, {"note", "line1\nline2\ttab\x01\r\x7f"},
                                {"bad", "\xff\xfe ok"},  {"utf8", "caf\xc3\xa9"},
                                {"empty", nullptr},      {nullptr, nullptr}};
  VlrAudit_LogList("com.velora.ovik.kms.GenerateKey", "uid=1000", "kp-1", true, items);
  VlrAudit_LogList("ev2", nullptr, "", false, nullptr);
  // Control characters and DEL appear only escaped: each record is one line of printable text.
  const std::string raw = TestSupport::ReadFile(path_);
  EXPECT_EQ(std::count_if(raw.begin(), raw.end(),
                          [](char c) { return (c >= 0 && c < 0x20 && c != '\n') || c == 0x7f; }),
            0);
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
  EXPECT_EQ(it.at("note").as_string(), "line1\nline2\ttab\x01\r\x7f");
  EXPECT_EQ(it.at("bad").as_string(), "\xef\xbf\xbd\xef\xbf\xbd ok");
  EXPECT_EQ(it.at("utf8").as_string(), "caf\xc3\xa9");  // a character ending the text is kept
  EXPECT_EQ(it.at("empty").as_string(), "");
  EXPECT_EQ(records[1].at("result").as_bool(), false);
  EXPECT_EQ(records[1].at("subject").as_string(), "");
  EXPECT_TRUE(records[1].at("items").as_object().empty());
}

// The file is narrowed to the owner whenever it is opened, then appended to.
TEST_F(AuditTest, FileIsPrivateAndAppendedTo) {
  const auto mode = [this] {
    struct stat st {};
    EXPECT_EQ(::stat(path_.c_str(), &st), 0);
    return st.st_mode & 0777;
  };
  TestSupport::WriteFile(path_, "");
  ::chmod(path_.c_str(), 0644);
  VlrAudit_LogList("a", "s", "o", true, nullptr);
  EXPECT_EQ(mode(), 0600u);
  ::chmod(path_.c_str(), 0644);
  VlrAudit_Reopen();
  VlrAudit_LogList("b", "s", "o", true, nullptr);
  EXPECT_EQ(mode(), 0600u);
  std::remove(path_.c_str());
  VlrAudit_Reopen();
  VlrAudit_LogList("c", "s", "o", true, nullptr);  // created afresh
  EXPECT_EQ(mode(), 0600u);
  VlrAudit_LogList("d", "s", "o", true, nullptr);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("eventID").as_string(), "c");
  EXPECT_EQ(records[1].at("eventID").as_string(), "d");
}

// The path is asked again within a second: records go on to the moved file until then, and to
// the new file afterwards.
TEST_F(AuditTest, RecordsFollowThePathWhenTheFileIsMoved) {
  VlrAudit_LogList("a", "s", "o", true, nullptr);
  const std::string moved = dir_.File("audit.log.1");
  ASSERT_EQ(std::rename(path_.c_str(), moved.c_str()), 0);
  size_t written = 0;
  ASSERT_TRUE(TestSupport::Eventually([&] {
    VlrAudit_LogList("b", "s", "o", true, nullptr);
    ++written;
    return ::access(path_.c_str(), F_OK) == 0;
  }));
  EXPECT_EQ(TestSupport::Lines(TestSupport::ReadFile(moved)).size() + Records().size(),
            written + 1);
}

TEST_F(AuditTest, PathReplacedBySymlinkIsNotFollowed) {
  VlrAudit_LogList("a", "s", "o", true, nullptr);
  const std::string target = dir_.File("target.log");
  TestSupport::WriteFile(target, "");
  ASSERT_EQ(std::remove(path_.c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
  VlrAudit_Reopen();
  VlrAudit_LogList("b", "s", "o", true, nullptr);
  EXPECT_EQ(TestSupport::ReadFile(target), "");
}

// Concurrent callers: while the file is moved aside and the path reopened, every
// record lands once, whole, and each caller's records in the order it logged them.
TEST_F(AuditTest, ConcurrentRecordsAreNeitherLostNorReorderedAcrossARename) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 300;
  std::vector<std::jthread> threads;  // joined also when an assertion ends the test early
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string value(300, static_cast<char>('a' + t));
      const std::string thread = std::to_string(t);
      for (int i = 0; i < kRecords; ++i) {
        const std::string n = std::to_string(i);
        const VlrAuditItem items[] = {
            {"t", thread.c_str()}, {"n", n.c_str()}, {"v", value.c_str()}, {nullptr, nullptr}};
        VlrAudit_LogList("ev", "s", "o", true, items);
      }
    });
  }
  // Only the size: a line being appended can be read half-written.
  ASSERT_TRUE(TestSupport::Eventually([&] { return !TestSupport::ReadFile(path_).empty(); }));
  const std::string moved = dir_.File("audit.log.1");
  ASSERT_EQ(std::rename(path_.c_str(), moved.c_str()), 0);
  VlrAudit_Reopen();
  for (auto& th : threads) {
    th.join();
  }
  std::vector<std::string> lines = TestSupport::Lines(TestSupport::ReadFile(moved));
  for (const auto& line : TestSupport::Lines(TestSupport::ReadFile(path_))) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    const json::object items = json::parse(line).as_object().at("items").as_object();
    const int t = std::stoi(std::string(items.at("t").as_string()));
    ASSERT_EQ(items.at("n").as_string(), std::to_string(next.at(t))) << "thread " << t;
    EXPECT_EQ(items.at("v").as_string().size(), 300u);
    ++next[t];
  }
}

TEST_F(AuditTest, RecordsLandAgainOnceWritable) {
  TestSupport::LogCapture hostLog(dir_, 5);
  const std::string sub = dir_.File("later");
  const std::string later = sub + "/audit.log";
  EXPECT_EQ(VlrAudit_Open(later), ENOENT);
  VlrAudit_LogList("lost", "s", "o", true, nullptr);  // reported in the host log, not fatal
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
  // Larger than the host log stays below, so that the limit further down leaves it writable.
  const std::string padding(4096, 'x');
  const VlrAuditItem items[] = {{"padding", padding.c_str()}, {nullptr, nullptr}};
  VlrAudit_LogList("kept", "s", "o", true, items);
  {
    // The file may not grow: the open file's writes fail, each record is reported.
    struct stat st {};
    ASSERT_EQ(::stat(later.c_str(), &st), 0);
    FileSizeLimit limit(static_cast<rlim_t>(st.st_size));
    VlrAudit_LogList("big1", "s", "o", true, nullptr);
    VlrAudit_LogList("big2", "s", "o", true, nullptr);
  }
  VlrAudit_LogList("after", "s", "o", true, nullptr);
  auto lines = TestSupport::Lines(TestSupport::ReadFile(later));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(json::parse(lines[0]).as_object().at("eventID").as_string(), "kept");
  EXPECT_EQ(json::parse(lines[1]).as_object().at("eventID").as_string(), "after");
  const std::string log = hostLog.Text();
  EXPECT_NE(log.find(" 2 ["), std::string::npos) << log;
  EXPECT_NE(log.find("lost"), std::string::npos) << log;
  EXPECT_EQ(log.find("kept"), std::string::npos) << log;
  EXPECT_NE(log.find("big1"), std::string::npos) << log;
  EXPECT_NE(log.find("big2"), std::string::npos) << log;
  EXPECT_EQ(log.find("after"), std::string::npos) << log;
}

}  // namespace
