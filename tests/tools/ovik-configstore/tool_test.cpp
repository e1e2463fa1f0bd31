// The ovik-configstore tool run as a process: commands, exit codes, messages, configuration.
#include <configstore/configstore.h>

#include <gtest/gtest.h>
#include <test_files.h>
#include <test_temp_dir.h>
#include <test_process.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace OvikConfigStore;

using Result = TestSupport::ProcessResult;

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() : db_(dir_.File("ovik.db")) {}

  // Runs the tool with the given arguments and environment entries.
  Result Run(const std::vector<std::string>& args,
             const std::vector<std::string>& env = {"ZYLD_CONFIG=/nonexistent/x.xml"}) {
    std::vector<std::string> argv{OVIK_CONFIGSTORE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return TestSupport::RunProcess(argv, 120, env);
  }

  Result RunDb(std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", db_});
    return Run(args);
  }

  static bool OneLine(const std::string& s) {
    return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
  }

  TestSupport::TempDir dir_;
  std::string db_;
};

TEST_F(ToolTest, UsageErrorsExitTwoWithOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"--db"},
      {"--db", db_},
      {"--db", db_, "get", "providers"},
      {"--db", db_, "set-string", "k", "g", "c", "i", "name"},
      {"--bogus", "get", "k", "g", "c"},
      {"--output", dir_.File("x"), "get", "k", "g", "c"},
  };
  for (const auto& args : cases) {
    const Result r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
    EXPECT_TRUE(OneLine(r.err)) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
}

TEST_F(ToolTest, SetGetAndDeleteAnObject) {
  const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  const std::string file = dir_.Write("cert.pem", pem);
  Result r =
      RunDb({"set-string", "certificate", "attestation", "ovik", "", "certificate", "@" + file});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(OneLine(r.out));
  ASSERT_EQ(
      RunDb({"set-string", "certificate", "attestation", "ovik", "", "note", "@@literal"}).exitCode,
      0);

  // The stored values, as get prints them.
  r = RunDb({"get", "certificate", "attestation", "ovik"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(
      r.out,
      R"({"key":"certificate","group":"attestation","component":"ovik","instance":"",)"
      R"("values":{"certificate":"-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n",)"
      R"("note":"@literal"},"subObjects":[]})"
      "\n");
  EXPECT_EQ(RunDb({"get", "certificate", "attestation", "ovik", ""}).out, r.out);

  r = RunDb({"get", "certificate", "attestation", "ovik", "other"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(OneLine(r.err));
  EXPECT_EQ(RunDb({"delete", "certificate", "attestation", "ovik"}).exitCode, 0);
  EXPECT_EQ(RunDb({"delete", "certificate", "attestation", "ovik"}).exitCode, 1);
  EXPECT_EQ(RunDb({"get", "certificate", "attestation", "ovik"}).exitCode, 1);
}

TEST_F(ToolTest, ExportAndImportMoveASelection) {
  auto store = ConfigStore::Open(db_);
  for (const char* name : {"b", "a"}) {
    auto p =
        std::make_shared<ConfigStoreObject>(ConfigStoreObjectId("providers", "kms", "ovik", name));
    p->SetValue("master_key_id", name);
    auto keyServer = p->CreateSubObject(SubObjectId("key_server"));
    keyServer->SetValue("type", std::string("KMIP"));
    keyServer->SetValue("connection_timeout", int64_t{3});
    auto server = keyServer->CreateSubObject(SubObjectId("kmip_server"))
                      ->CreateSubObject(SubObjectId("servers", "s1"));
    server->SetValue("name", std::string("s1"));
    server->SetValue("hostname", std::string("kms1"));
    server->SetValue("port", int64_t{5696});
    store->Set(p, nullptr);
  }
  Result r = RunDb({"export", "providers", "kms", "ovik"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string file = dir_.Write("export.json", r.out);

  const std::string other = dir_.File("other.db");
  r = Run({"--db", other, "import", file});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(OneLine(r.out));
  EXPECT_EQ(Run({"--db", other, "export", "providers", "kms", "ovik"}).out,
            TestSupport::ReadFile(file));

  // What the store refuses is the store's (TransferTest); here, the exit status and the message.
  std::string portAsText = TestSupport::ReadFile(file);
  portAsText.replace(portAsText.find("5696"), 4, "\"5696\"");
  const std::pair<std::string, const char*> refused[] = {
      {R"({"format":"ovik-configstore-export","version":9})", "rejected"},
      {portAsText, "provider 'b': key_server.kmip_server.servers[s1].port"}};
  for (const auto& [text, reason] : refused) {
    r = Run({"--db", other, "import", dir_.Write("bad.json", text)});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(OneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err.substr(0, 200);
  }
  EXPECT_EQ(Run({"--db", other, "export", "providers", "kms", "ovik"}).out,
            TestSupport::ReadFile(file));
}

TEST_F(ToolTest, DatabaseComesFromTheDaemonConfiguration) {
  const std::string config = dir_.Write(
      "config.xml", "<config><configStore><path>" + db_ + "</path></configStore></config>");
  Result r =
      Run({"set-string", "zyld_config", "kms", "ovik", "", "x", "y"}, {"ZYLD_CONFIG=" + config});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(ConfigStore::Open(db_)->Get(ConfigStoreObjectId("zyld_config", "kms", "ovik")),
            nullptr);

  const std::string broken = dir_.Write("broken.xml", "<config><configStore>");
  r = Run({"get", "zyld_config", "kms", "ovik"}, {"ZYLD_CONFIG=" + broken});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
}

TEST_F(ToolTest, ReadsCreateNothingFileErrorsSayWhyExportsArePrivate) {
  const std::string missing = dir_.File("none/ovik.db");
  for (const char* command : {"get", "export"}) {
    const Result r = Run({"--db", missing, command, "k", "g", "c"});
    EXPECT_EQ(r.exitCode, 1) << command;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("none")));

  const Result r = Run({"--db", missing, "import", dir_.File("missing.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing.json: No such file or directory"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("none")));  // nor does a failed import

  ASSERT_EQ(RunDb({"set-string", "k", "g", "c", "", "private_key", "s3cret"}).exitCode, 0);
  const std::string out = dir_.File("export.json");
  ASSERT_EQ(RunDb({"--output", out, "export", "k", "g", "c"}).exitCode, 0);
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(TestSupport::ReadFile(out), RunDb({"export", "k", "g", "c"}).out);
}

// What the store refuses is the store's (StoreTest); here, the exit status and the message.
TEST_F(ToolTest, StoreFailuresExitOne) {
  const std::string corrupt = dir_.Write("corrupt.db", std::string(4096, 'x'));
  const Result r = Run({"--db", corrupt, "get", "k", "g", "c"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find(corrupt), std::string::npos);
}

}  // namespace
