// Application set-up: scratch values, file overlay, failure fall-back, log and feature set-up,
// loggers, run loop.
#include <quorex/quorex.h>

#include <harlibs/feature.h>
#include <harlibs/log.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

#include <test_files.h>
#include <test_log.h>
#include <test_temp_dir.h>

namespace {

using namespace Quorex::Service;

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FeatureState_Init();
    CreateScratchConfig(scratch_);
    auto& v = scratch_->Values();
    v.SetBool("caching", true);
    v.SetInt("statusUpdateIntervalSeconds", 300);
    v.SetString("audit/path", dir_.File("audit.log"));
  }
  void TearDown() override { Log_Configure(5, ""); }

  std::string WriteConfig(const std::string& body) {
    std::string path = dir_.File("config.xml");
    TestSupport::WriteFile(path, "<config>\n" + body + "</config>\n");
    return path;
  }

  TestSupport::TempDir dir_;
  std::shared_ptr<Config> scratch_;
};

TEST_F(AppTest, FileOverlaysScratchAndConfiguresLogAndFeatures) {
  std::string log = dir_.File("host.log");
  std::string path = WriteConfig("<log><level>verbose</level><file>" + log +
                                 "</file></log>\n<statusUpdateIntervalSeconds>600"
                                 "</statusUpdateIntervalSeconds>\n"
                                 "<features><credentialRead>true</credentialRead></features>\n");
  ASSERT_NO_THROW(InitApp(scratch_, path));
  const ConfigValues& v = GetApp().GetConfig().Values();
  int64_t interval = 0;
  bool caching = false;
  EXPECT_TRUE(v.GetInt("statusUpdateIntervalSeconds", &interval));
  EXPECT_EQ(interval, 600);
  EXPECT_TRUE(v.GetBool("caching", &caching));
  EXPECT_TRUE(caching);
  EXPECT_EQ(Log_Threshold(), 6);
  EXPECT_TRUE(FeatureList_IsEnabled("credentialRead"));
  Log_Level(kLogTrace, "into the configured file\n");
  EXPECT_NE(TestSupport::ReadFile(log).find("into the configured file"), std::string::npos);
}

TEST_F(AppTest, MissingFileThrowsAfterSettingUpFromScratch) {
  std::string path = dir_.File("absent.xml");
  scratch_->Values().SetString("log/level", "error");
  EXPECT_THROW(InitApp(scratch_, path), std::runtime_error);
  int64_t interval = 0;
  EXPECT_TRUE(GetApp().GetConfig().Values().GetInt("statusUpdateIntervalSeconds", &interval));
  EXPECT_EQ(interval, 300);
  EXPECT_EQ(Log_Threshold(), 2);
  // The thread pool is usable.
  std::promise<void> ran;
  GetApp().GetThreadPool().Enqueue([&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST_F(AppTest, LoggersFollowTheConfiguredLevelAndSubstituteTheArgument) {
  std::string log = dir_.File("host.log");
  std::string path = WriteConfig("<log><level>warning</level><file>" + log + "</file></log>\n");
  InitApp(scratch_, path);
  auto def = Logger::Default();
  ASSERT_NE(def, nullptr);
  auto named = def->CreateLogger("zyldLogger");
  EXPECT_EQ(named->CurrentLevel(), 3);
  LogInternal(named, 3, "%1", "stats: 5 keys\n");
  LogInternal(named, 5, "%1", "too verbose\n");
  LogInternal(named, 2, "before %1 after %1\n", "X");
  named->SetLevel(2);
  EXPECT_EQ(def->CurrentLevel(), 3);
  LogInternal(named, 3, "%1", "now filtered\n");
  std::string text = TestSupport::ReadFile(log);
  EXPECT_NE(text.find(" 3 ["), std::string::npos);
  EXPECT_NE(text.find("stats: 5 keys"), std::string::npos);
  EXPECT_EQ(text.find("too verbose"), std::string::npos);
  EXPECT_NE(text.find("before X after X"), std::string::npos);
  EXPECT_EQ(text.find("now filtered"), std::string::npos);
}

TEST_F(AppTest, RunBlocksUntilStop) {
  InitApp(scratch_, WriteConfig(""));
  std::promise<void> started;
  auto run = std::async(std::launch::async, [&] {
    started.set_value();
    GetApp().Run();
  });
  started.get_future().wait();
  GetApp().Stop();
  EXPECT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  // A Stop before Run makes Run return at once.
  GetApp().Stop();
  GetApp().Run();
}

TEST(AppInfoTest, IdentityNamesTheLogLines) {
  TestSupport::TempDir dir;
  SetAppInfo("zyldtest", "8.0.0", 77);
  TestSupport::LogCapture log(dir, 5);
  Log_Level(kLogInfo, "named\n");
  SetAppInfo("zyld", "8.0.0", 77);
  EXPECT_TRUE(log.Contains(" zyldtest["));
}

}  // namespace
