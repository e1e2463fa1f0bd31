// The provider configuration backed up and restored over HTTP: a restored blob brings a deleted
// provider back at once. Who reads the text and the refused imports are the service's tests.
#include "providers_rpc.h"
#include "stack_suite.h"

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
  bool KeysServed() {
    const auto answer = Call(Port(), kGenerateKey, generate_, stack_->Token("attestation"));
    return !StringAt(answer, {"result", "wrappedKey"}).empty();
  }

  std::string admin_;
  std::string generate_;
};

TEST_F(RawConfig, ARestoredBlobServesKeysAgain) {
  const auto hash = Call(Port(), kRawGet, InfoParams("HASH"), admin_);
  ASSERT_FALSE(StringAt(hash, {"result", "hash"}).empty()) << boost::json::serialize(hash);
  const std::string blob = Export();
  ASSERT_FALSE(blob.empty());
  ASSERT_EQ(ErrorType(Call(Port(), Op("delete"), IdParams(stack_->Env("PROVIDER")), admin_)), "");
  EXPECT_FALSE(KeysServed());
  const auto restored = Import(blob);
  ASSERT_EQ(ErrorType(restored), "") << boost::json::serialize(restored);
  EXPECT_TRUE(KeysServed());
  EXPECT_EQ(StringAt(Call(Port(), kRawGet, "", admin_), {"result", "hash"}),
            StringAt(hash, {"result", "hash"}));
}

}  // namespace
}  // namespace ZyldIt
