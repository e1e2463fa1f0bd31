// Configuration: values and their types, the XML file format and its faults.
#include <quorex/quorex.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include <test_files.h>
#include <test_temp_dir.h>

namespace {

using Quorex::Service::Config;
using Quorex::Service::ConfigValues;

std::string Parse(Config& config, const std::string& text) {
  const Har::Status status = Quorex::Service::ParseConfigText(config, text, "test.xml");
  if (status) {
    return "";
  }
  EXPECT_FALSE(status.message().empty());
  return status.message();
}

// A value is read only as the type it was set with (text converts strictly); a refused read
// leaves the variable alone.
TEST(ConfigValuesTest, TypedValuesAndAbsentKeys) {
  ConfigValues v;
  v.SetInt("n", -42);
  v.SetString("s", "text");
  v.SetText("t", "17");
  int64_t n = 5;
  bool b = true;
  std::string s = "unchanged";
  EXPECT_FALSE(v.GetInt("missing", &n));
  EXPECT_FALSE(v.GetString("missing", &s));
  EXPECT_FALSE(v.GetInt("s", &n));
  EXPECT_FALSE(v.GetBool("n", &b));
  EXPECT_EQ(n, 5);
  EXPECT_EQ(s, "unchanged");
  EXPECT_TRUE(b);
  EXPECT_TRUE(v.GetInt("t", &n));
  EXPECT_EQ(n, 17);
}

TEST(ConfigValuesTest, StrictConversions) {
  int64_t n = 0;
  bool b = false;
  EXPECT_TRUE(Quorex::Service::ParseConfigInt("9223372036854775807", &n));
  EXPECT_TRUE(Quorex::Service::ParseConfigInt("-12", &n));
  EXPECT_EQ(n, -12);
  for (const char* bad : {"", "+1", "1 ", " 1", "0x10", "1e3", "abc", "9223372036854775808"}) {
    EXPECT_FALSE(Quorex::Service::ParseConfigInt(bad, &n)) << bad;
  }
  EXPECT_TRUE(Quorex::Service::ParseConfigBool("false", &b));
  for (const char* bad : {"", "TRUE", "1", "yes", "true "}) {
    EXPECT_FALSE(Quorex::Service::ParseConfigBool(bad, &b)) << bad;
  }
}

TEST(ConfigFileTest, NestedKeysTypesAndWhitespace) {
  Config config;
  config.Values().SetInt("quorex/threadPool/maxThreads", 10);
  config.Values().SetBool("caching", true);
  config.Values().SetString("log/level", "info");
  std::string err = Parse(config, R"(<?xml version="1.0"?>
<!-- zyld settings -->
<config>
  <log>
    <level>verbose</level>
    <file>/tmp/zyld.log</file>
  </log>
  <caching> false </caching>
  <quorex><threadPool><maxThreads>
    12
  </maxThreads></threadPool></quorex>
  <name><![CDATA[a<b>&c]]></name>
  <escaped>x &amp; y</escaped>
  <empty/>
</config>)");
  ASSERT_EQ(err, "");
  const ConfigValues& v = config.Values();
  const auto text = [&v](const char* key) {
    std::string s = "absent";
    v.GetString(key, &s);
    return s;
  };
  int64_t n = 0;
  bool b = true;
  EXPECT_EQ(text("log/level"), "verbose");
  EXPECT_EQ(text("log/file"), "/tmp/zyld.log");
  EXPECT_TRUE(v.GetBool("caching", &b));
  EXPECT_FALSE(b);
  EXPECT_TRUE(v.GetInt("quorex/threadPool/maxThreads", &n));
  EXPECT_EQ(n, 12);
  EXPECT_EQ(text("name"), "a<b>&c");
  EXPECT_EQ(text("escaped"), "x & y");
  EXPECT_EQ(text("empty"), "");
  EXPECT_FALSE(v.Has("log"));
}

TEST(ConfigFileTest, FaultsNameTheElementAndLineAndChangeNothing) {
  struct Case {
    const char* text;
    const char* expected;  // substrings of the message
    const char* line;
  };
  const Case cases[] = {
      {"<config>\n<a>1</a>\n<b>2</c>\n</config>", "malformed XML", "line 3"},
      {"<config>\n<a>1</a>", "malformed XML", "line 2"},
      {"", "malformed XML", "line 1"},
      {"<settings><a>1</a></settings>", "root element must be <config>", "line 1"},
      {"<config/>\n<config/>", "second root element", "line 2"},
      {"<config>\n<port>abc</port>\n</config>", "<port>: \"abc\" is not a decimal integer",
       "line 2"},
      {"<config>\n\n<on>yes</on>\n</config>", "<on>: \"yes\" is not true or false", "line 3"},
      {"<config><features>\n<x>1</x></features></config>",
       "<features/x>: \"1\" is not true or false", "line 2"},
      {"<config><log>\n<level>loud</level></log></config>", "<log/level>", "line 2"},
      {"<config>\n<a>1</a>\n<a>2</a>\n</config>", "<a>: duplicate (first at line 2)", "line 3"},
      {"<config>\n<a>text<b>1</b></a>\n</config>", "text mixed with elements", "line 2"},
  };
  for (const Case& c : cases) {
    Config config;
    config.Values().SetInt("port", 7888);
    config.Values().SetBool("on", true);
    config.Values().SetString("a", "keep");
    std::string err = Parse(config, c.text);
    EXPECT_NE(err.find("test.xml"), std::string::npos) << err;
    EXPECT_NE(err.find(c.expected), std::string::npos) << err;
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
    std::string a;
    config.Values().GetString("a", &a);
    EXPECT_EQ(a, "keep") << c.text;
  }
}

TEST(ConfigFileTest, SizeAndDepthAreBounded) {
  Config config;
  std::string big =
      "<config><a>" + std::string(Quorex::Service::kMaxConfigFileBytes, 'x') + "</a></config>";
  EXPECT_NE(Parse(config, big).find("larger than"), std::string::npos);
  const auto nested = [](int levels) {
    std::string text = "<config>";
    for (int i = 0; i < levels; ++i) text += "<d>";
    text += "1";
    for (int i = 0; i < levels; ++i) text += "</d>";
    return text + "</config>";
  };
  constexpr int kDeepestAllowed = 15;  // elements below <config>: sixteen levels with it
  EXPECT_EQ(Parse(config, nested(kDeepestAllowed)).find("nested too deeply"), std::string::npos);
  EXPECT_NE(Parse(config, nested(kDeepestAllowed + 1)).find("nested too deeply"),
            std::string::npos);
}

TEST(ConfigFileTest, LoadFileReportsMissingAndMalformedFiles) {
  TestSupport::TempDir dir;
  Config config;
  std::string missing = dir.File("absent.xml");
  try {
    Quorex::Service::LoadConfigFile(config, missing);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos);
  }
  // Malformed texts are the parser's faults test; here, a path that is no readable file.
  EXPECT_THROW(Quorex::Service::LoadConfigFile(config, dir.Path()), std::runtime_error);

  std::string good = dir.File("good.xml");
  TestSupport::WriteFile(good, "<config><endpoint><port>9000</port></endpoint></config>");
  Quorex::Service::LoadConfigFile(config, good);
  int64_t port = 0;
  EXPECT_TRUE(config.Values().GetInt("endpoint/port", &port));
  EXPECT_EQ(port, 9000);
}

TEST(ConfigFileTest, PathFollowsTheEnvironment) {
  constexpr const char* kVariable = "QUOREX_TEST_CONFIG";
  unsetenv(kVariable);
  EXPECT_EQ(Quorex::Service::ConfigFilePath(kVariable, "/default.xml"), "/default.xml");
  setenv(kVariable, "", 1);
  EXPECT_EQ(Quorex::Service::ConfigFilePath(kVariable, "/default.xml"), "/default.xml");
  setenv(kVariable, "/tmp/other.xml", 1);
  EXPECT_EQ(Quorex::Service::ConfigFilePath(kVariable, "/default.xml"), "/tmp/other.xml");
  unsetenv(kVariable);
}

}  // namespace
