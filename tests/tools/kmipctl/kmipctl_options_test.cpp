// kmipctl's argument parser.
#include "kmipctl_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kmipctl::Command;
using Kmipctl::Options;

struct Parsed {
  Har::Status status = Har::Status::Ok();
  Options options;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "kmipctl");
  std::vector<const char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  Parsed parsed;
  parsed.status =
      Kmipctl::ParseArguments(static_cast<int>(argv.size()), argv.data(), parsed.options);
  return parsed;
}

std::vector<std::string> Base(std::vector<std::string> tail) {
  std::vector<std::string> args{"--host", "kms.example", "--port", "5696"};
  args.insert(args.end(), tail.begin(), tail.end());
  return args;
}

TEST(KmipctlOptions, FullCommandLine) {
  Parsed p = Parse(Base({"--client-cert", "c.pem", "--client-key", "k.pem", "--trusted-cert",
                         "a.pem", "--trusted-cert", "b.pem", "--proxy", "proxy.local:3128",
                         "--timeout", "7", "--user", "alice", "--password", "", "key-info", "42"}));
  ASSERT_TRUE(p.status) << p.status.message();
  const Options& o = p.options;
  EXPECT_EQ(o.host, "kms.example");
  EXPECT_EQ(o.port, 5696);
  EXPECT_EQ(o.trustedCertFiles, (std::vector<std::string>{"a.pem", "b.pem"}));
  EXPECT_EQ(o.proxyHost, "proxy.local");
  EXPECT_EQ(o.proxyPort, 3128);
  EXPECT_EQ(o.timeoutSeconds, 7);
  EXPECT_EQ(o.user, "alice");
  EXPECT_TRUE(o.password.empty());
  EXPECT_EQ(o.command, Command::KeyInfo);
  EXPECT_EQ(o.keyId, "42");

  // Ids and credentials are command arguments, so quotes and separators are fine there.
  Parsed quoted = Parse(Base({"--user", "o'neil", "--password", "p'w,{x}", "state", "id'1"}));
  ASSERT_TRUE(quoted.status) << quoted.status.message();
  EXPECT_EQ(quoted.options.keyId, "id'1");

  Parsed minimal = Parse(Base({"versions"}));
  ASSERT_TRUE(minimal.status) << minimal.status.message();
  EXPECT_EQ(minimal.options.timeoutSeconds, 60);
  EXPECT_TRUE(Parse({"--help"}).options.help);
  EXPECT_TRUE(Parse({"--version"}).options.version);
}

TEST(KmipctlOptions, RejectsBadUsageAndValues) {
  const std::vector<std::vector<std::string>> bad = {
      {"versions"},                                  // no host or port
      {"--host", "h", "versions"},                   // no port
      Base({}),                                      // no command
      Base({"rotate"}),                              // unknown command
      Base({"state"}),                               // missing id
      Base({"versions", "1"}),                       // stray operand
      Base({"state", "1", "2"}),                     // two ids
      Base({"--client-cert", "c.pem", "versions"}),  // certificate without key
      Base({"--user", "alice", "versions"}),         // user without password
      Base({"--password", "x", "versions"}),         // password without user
      Base({"--frobnicate", "1", "versions"}),       // unknown option
      Base({"versions", "--timeout"}),               // option without value
      // Values out of bounds or unsafe in the connection specification:
      {"--host", "h", "--port", "0", "versions"},
      {"--host", "h", "--port", "65536", "versions"},
      {"--host", "h", "--port", "12x", "versions"},
      {"--host", "h', Port='1", "--port", "1", "versions"},  // quote would end the value
      {"--host", "h\nx", "--port", "1", "versions"},
      {"--host", std::string(254, 'a'), "--port", "1", "versions"},
      Base({"--timeout", "0", "versions"}),
      Base({"--timeout", "3601", "versions"}),
      Base({"--proxy", "proxy.local", "versions"}),  // no port
      Base({"state", "a\tb"}),
      Base({"state", std::string(129, '1')}),
      Base({"--user", "al\x7fice", "--password", "x", "versions"}),
      Base({"--proxy", "a,b:1", "versions"}),
      Base({"--user", "alice", "--password", std::string(257, 'p'), "versions"}),
      Base({"--client-cert", std::string(5000, 'c'), "--client-key", "k", "versions"}),
  };
  for (const auto& args : bad) {
    Parsed p = Parse(args);
    EXPECT_FALSE(p.status) << testing::PrintToString(args).substr(0, 200);
    EXPECT_FALSE(p.status.message().empty());
  }
  std::vector<std::string> manyTrusted = Base({});
  for (size_t i = 0; i <= Kmipctl::kMaxTrustedCerts; ++i) {
    manyTrusted.insert(manyTrusted.end(), {"--trusted-cert", "t.pem"});
  }
  manyTrusted.push_back("versions");
  EXPECT_FALSE(Parse(manyTrusted).status);
  std::vector<std::string> tooMany(Kmipctl::kMaxArguments, "versions");
  EXPECT_FALSE(Parse(tooMany).status);
  // An option that does not exist is named as such, even where a value would be missing.
  EXPECT_EQ(Parse(Base({"versions", "--bogus"})).status.message(), "unknown option --bogus");
}

}  // namespace
