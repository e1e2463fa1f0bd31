// The configuration check a command-line tool runs before a restart.
#include "config_check.h"

#include <test_temp_dir.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using TestSupport::TempDir;

bool Mentions(const std::vector<std::string>& problems, const std::string& text) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

TEST(ConfigCheck, FindsEachKindOfProblemAndPassesAValidFile) {
  TempDir dir;
  const std::string valid = dir.Write(
      "valid.xml",
      "<config><log><level>warning</level></log><endpoint><port>7888</port></endpoint>"
      "<firewall><backend>nftables</backend></firewall><keyServerThreads>4</keyServerThreads>"
      "<features><credentialRead>true</credentialRead></features></config>");
  EXPECT_EQ(Zyld::CheckConfigFile(valid), std::vector<std::string>{});

  const auto problems = Zyld::CheckConfigFile(dir.Write(
      "faulty.xml",
      "<config><endpoint><port>70000</port><maxConnections>0</maxConnections></endpoint>"
      "<firewall><backend>iptables</backend></firewall><statsLogInterval>60</statsLogInterval>"
      "<log><lvl>info</lvl></log></config>"));
  EXPECT_EQ(problems.size(), 5u);
  for (const char* text :
       {"endpoint/port: 70000 is not 1..65535", "endpoint/maxConnections: 0 is not at least 1",
        "unknown backend 'iptables'", "statsLogInterval: unknown key", "log/lvl: unknown key"}) {
    EXPECT_TRUE(Mentions(problems, text)) << text;
  }

  // Every key the daemon reads has a typed default, so a value of the wrong type rejects the file
  // as a malformed one does.
  for (const char* element : {"<statsLogIntervalSeconds>soon</statsLogIntervalSeconds>",
                              "<endpoint><port>http</port></endpoint>", "<caching>yes</caching>",
                              "<statusUpdateIntervalSeconds>1m</statusUpdateIntervalSeconds>",
                              "<cacheStaleTimeoutSeconds>-</cacheStaleTimeoutSeconds>", "<log>"}) {
    const auto found = Zyld::CheckConfigFile(
        dir.Write("rejected.xml", std::string("<config>") + element + "</config>"));
    ASSERT_EQ(found.size(), 1u) << element;
    EXPECT_NE(found[0].find("rejected.xml"), std::string::npos) << found[0];
  }
  EXPECT_TRUE(Mentions(Zyld::CheckConfigFile(dir.File("absent.xml")), "cannot open"));
}

}  // namespace
