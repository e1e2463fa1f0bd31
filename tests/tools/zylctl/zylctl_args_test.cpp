// The naming rule, resolution of words to a command and the params object built from options, on
// a small metadata text shaped like the generated one.
#include <cli_args.h>
#include <cli_model.h>

#include <test_temp_dir.h>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Zylctl {
namespace {

constexpr const char* kMetadata = R"({
 "cli": {"command": {
  "kms.key_operation.generate_key": {"namespace": "kms.key_operation", "name": "generate_key",
   "service": "s.key_operation", "operation": "generate_key",
   "options": [{"name": "provider", "type": "string"}, {"name": "keySize", "type": "long"}]},
  "kms.providers.list": {"namespace": "kms.providers", "name": "list", "service": "s.providers",
   "operation": "list", "options": []},
  "kms.providers.create": {"namespace": "kms.providers", "name": "create",
   "service": "s.providers", "operation": "create",
   "options": [{"name": "spec", "type": {"structure": "Spec"}}]},
  "kms.providers.status.get": {"namespace": "kms.providers.status", "name": "get",
   "service": "s.status", "operation": "get", "options": [{"name": "provider", "type": "string"}]},
  "kms.raw_config.set": {"namespace": "kms.raw_config", "name": "set", "service": "s.raw",
   "operation": "set", "options": [{"name": "configuration", "type": "binary"},
   {"name": "infoType", "type": {"optional": {"enumeration": "InfoType"}}}]}}},
 "metamodel": {
  "structure": {"Spec": {"fields": [{"name": "provider", "type": "string"},
    {"name": "keyServer", "type": {"optional": {"structure": "KeyServer"}}}]},
   "KeyServer": {"fields": [{"name": "servers", "type": {"list": "string"}},
    {"name": "trusted", "type": {"optional": "boolean"}}]}},
  "enumeration": {"InfoType": {"values": ["CONFIGURATION", "HASH"]}}}})";

class ZylctlArgs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(BuildModel(kMetadata, model_, error)) << error;
  }
  const Command* Find(const std::vector<std::string>& words) const {
    return Resolve(model_, words).command;
  }
  // The params text, or "error: ..." naming the fault.
  std::string Params(const std::vector<std::string>& words, const std::vector<std::string>& args) {
    boost::json::object params;
    std::string error;
    if (!BuildParams(model_, *Find(words), args, {}, params, error)) return "error: " + error;
    return boost::json::serialize(params);
  }

  Model model_;
};

TEST_F(ZylctlArgs, NamesMapToWords) {
  EXPECT_EQ(KebabCase("wrappedKey"), "wrapped-key");
  EXPECT_EQ(KebabCase("URLPath"), "url-path");
  EXPECT_EQ(KebabCase("key2Size"), "key2-size");
  EXPECT_EQ(NamespaceWords("kms.providers.client_certificate.csr"),
            (std::vector<std::string>{"providers", "client-certificate", "csr"}));
}

TEST_F(ZylctlArgs, WordsResolveCanonicalAliasOrOnlyCommand) {
  ASSERT_NE(Find({"key", "generate"}), nullptr);
  EXPECT_EQ(Find({"key", "generate"}), Find({"key-operation", "generate-key"}));
  EXPECT_EQ(Find({"providers", "status"})->Method(), "s.status.get");  // the only command
  EXPECT_EQ(Find({"providers", "list"})->Method(), "s.providers.list");
  EXPECT_EQ(Find({"providers"}), nullptr);  // several commands: help, not a guess
  EXPECT_EQ(Resolve(model_, {"providers"}).namespaceWords, 1u);
  EXPECT_EQ(Find({"providers", "list", "extra"}), nullptr);
  EXPECT_EQ(Find({"generate"}), nullptr);
}

TEST_F(ZylctlArgs, OptionsBuildTypedNestedParams) {
  EXPECT_EQ(Params({"key", "generate"}, {"--provider", "p", "--size", "32"}),
            R"({"provider":"p","keySize":32})");
  EXPECT_EQ(Params({"key", "generate"}, {"--provider=@@p", "--key-size=-1"}),
            R"({"provider":"@p","keySize":-1})");
  EXPECT_EQ(Params({"providers", "create"},
                   {"--spec.provider", "p", "--spec.key-server.servers", "a",
                    "--spec.key-server.servers", "b", "--spec.key-server.trusted=false"}),
            R"({"spec":{"provider":"p","keyServer":{"servers":["a","b"],"trusted":false}}})");
  EXPECT_EQ(Params({"providers", "create"},
                   {"--spec", R"({"provider":"p"})", "--spec.key-server.trusted"}),
            R"({"spec":{"provider":"p","keyServer":{"trusted":true}}})");
  TestSupport::TempDir dir;
  const std::string blob = dir.Write("blob", std::string("\x1f\x8b\n", 3));
  EXPECT_EQ(Params({"raw-config", "set"}, {"--configuration", "@" + blob}),
            R"({"configuration":"H4sK"})");
}

TEST_F(ZylctlArgs, BadOptionsAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--provider", "p"}, "error: missing option --key-size for 'key-operation generate-key'"},
      {{"--provider", "p", "--size", "3x"}, "error: --key-size needs an integer"},
      {{"--provider", "p", "--provider", "q", "--size", "1"}, "error: --provider is given twice"},
      {{"--provider", "--size", "1"}, "error: --provider needs a value"},
      {{"--size", "1", "--bogus"},
       "error: unknown option --bogus for 'key-operation generate-key'"},
      {{"--size", "1", "stray"},
       "error: unexpected argument stray for 'key-operation generate-key'"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(Params({"key", "generate"}, args), expected);
  }
  EXPECT_EQ(Params({"raw-config", "set"}, {"--configuration", "x", "--info-type", "OTHER"}),
            "error: --info-type is not one of the allowed values CONFIGURATION HASH");
  EXPECT_EQ(Params({"providers", "create"}, {"--spec", "[1]"}),
            "error: --spec is not a JSON object");
  EXPECT_EQ(Params({"providers", "create"}, {"--spec", "{}", "--spec", "{}"}),
            "error: --spec is given twice");
}

}  // namespace
}  // namespace Zylctl
