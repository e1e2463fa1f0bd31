// The provider configuration backed up and restored over HTTP: only administrators read the
// text, a restored blob brings a deleted provider back at once, and a blob with a broken provider
// is refused without changing anything.
#include "providers_rpc.h"
#include "stack_suite.h"

#include <fstream>
#include <string>

namespace ZyldIt {
namespace {

constexpr const char* kRawGet = "com.velora.ovik.kms.raw_config.get";
constexpr const char* kRawSet = "com.velora.ovik.kms.raw_config.set";

class RawConfig : public StackSuite {
 protected:
  void SetUp() override {
    StackSuite::SetUp();
    admin_ = stack_->Token("admin", {"KMS_ADMIN"});
    generate_ = R"({"provider":")" + stack_->Env("PROVIDER") + R"(","keySize":32})";
  }

  static std::string InfoParams(const char* type) {
    return std::string(R"({"infoType":")") + type + "\"}";
  }
  // The base64 blob of the stored configuration.
  std::string Export() {
    const auto answer = Call(Port(), kRawGet, InfoParams("CONFIGURATION"), admin_);
    EXPECT_EQ(ErrorType(answer), "") << boost::json::serialize(answer);
    return StringAt(answer, {"result", "configuration"});
  }
  boost::json::value Import(const std::string& blob) {
    return Call(Port(), kRawSet,
                boost::json::serialize(boost::json::object{{"configuration", blob}}), admin_);
  }
  // Runs `pipeline` (a shell pipe reading $0) over the text, as the base64 tool prints it.
  std::string Through(const std::string& text, const std::string& pipeline) {
    const std::string file = stack_->Dir() + "/raw-config.tmp";
    std::ofstream(file, std::ios::binary) << text;
    std::string out;
    EXPECT_EQ(RunCommand({"sh", "-c", pipeline, file}, &out), 0) << pipeline;
    return out;
  }
  bool KeysServed() {
    const auto answer = Call(Port(), kGenerateKey, generate_, stack_->Token("attestation"));
    return !StringAt(answer, {"result", "wrappedKey"}).empty();
  }

  std::string admin_;
  std::string generate_;
};

TEST_F(RawConfig, ReadersGetTheHashAndARestoredBlobServesKeysAgain) {
  const std::string reader = stack_->Token("admin", {"KMS_READ"});
  const auto hash = Call(Port(), kRawGet, InfoParams("HASH"), reader);
  ASSERT_FALSE(StringAt(hash, {"result", "hash"}).empty()) << boost::json::serialize(hash);
  EXPECT_EQ(StringAt(hash, {"result", "configuration"}), "");
  EXPECT_EQ(ErrorType(Call(Port(), kRawGet, InfoParams("CONFIGURATION"), reader)),
            std::string(kErrors) + "unauthorized");

  const std::string blob = Export();
  ASSERT_FALSE(blob.empty());
  ASSERT_EQ(ErrorType(Call(Port(), Op("delete"), IdParams(stack_->Env("PROVIDER")), admin_)), "");
  EXPECT_FALSE(KeysServed());
  const auto restored = Import(blob);
  ASSERT_EQ(ErrorType(restored), "") << boost::json::serialize(restored);
  EXPECT_TRUE(KeysServed());
  EXPECT_EQ(StringAt(Call(Port(), kRawGet, "", reader), {"result", "hash"}),
            StringAt(hash, {"result", "hash"}));
}

TEST_F(RawConfig, ABlobWithABrokenProviderChangesNothing) {
  std::string text = Through(Export(), "base64 -d \"$0\" | gzip -dc");
  const std::string port = "\"port\":" + stack_->Env("KMIP_PORT");
  const size_t at = text.find(port);
  ASSERT_NE(at, std::string::npos) << text.substr(0, 200);
  text.replace(at, port.size(), "\"port\":\"" + stack_->Env("KMIP_PORT") + "\"");
  const std::string broken = Through(text, "gzip -c \"$0\" | base64 -w0");

  const auto list = Call(Port(), Op("list"), "", admin_);
  const auto refused = Import(broken);
  EXPECT_EQ(ErrorType(refused), std::string(kErrors) + "invalid_argument");
  EXPECT_NE(boost::json::serialize(refused).find("servers["), std::string::npos)
      << boost::json::serialize(refused);
  EXPECT_EQ(Call(Port(), Op("list"), "", admin_), list);
  EXPECT_TRUE(KeysServed());
}

}  // namespace
}  // namespace ZyldIt
