// The error catalogue: every identifier resolves to a template with known arguments and result
// codes name catalogued identifiers. The identifiers and texts that the key operations give, and
// the standard type of each provider error kind, are checked with the services.
#include "mirel/error.h"
#include "mirel/message_resolver.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

namespace Api = Zyld::ZylApi;

TEST(CatalogueTest, EveryEntryResolvesToATemplateWithKnownArguments) {
  const std::set<std::string> argumentNames = {"server", "parameter", "provider", "num",
                                               "days",   "reason",    "member"};
  std::set<std::string> ids;
  for (size_t i = 0; i < Api::CatalogueSize(); ++i) {
    const std::string id(Api::CatalogueId(i));
    EXPECT_TRUE(id.starts_with("com.velora.ovik.kms.")) << id;
    EXPECT_TRUE(ids.insert(id).second) << "duplicate " << id;
    const std::string& text = Api::ResolveMessage(id);
    EXPECT_FALSE(text.empty()) << id;
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
      const size_t close = text.find('}', open);
      ASSERT_NE(close, std::string::npos) << id;
      EXPECT_TRUE(argumentNames.count(text.substr(open + 1, close - open - 1))) << id;
    }
  }
  EXPECT_FALSE(Api::IsCatalogued("com.velora.ovik.kms.PROVIDERS.not_found"));
}

TEST(CatalogueTest, ResultCodesNameCataloguedIdentifiersPerOperation) {
  for (uint32_t code = 1; code <= 16; ++code) {
    EXPECT_TRUE(Api::IsCatalogued(Api::ErrorIdForResult(code, Api::kGenerateKeyOperation))) << code;
  }
  EXPECT_EQ(Api::ErrorIdForResult(17, Api::kGenerateKeyOperation), "");
  EXPECT_NE(Api::ErrorIdForResult(11, Api::kDecryptOperation),
            Api::ErrorIdForResult(12, Api::kDecryptOperation));
}

TEST(CatalogueDeathTest, SuccessAndUnknownIdentifiersAreProgrammingErrors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Api::ErrorIdForResult(0, Api::kDecryptOperation), "NOT_REACHED");
  EXPECT_DEATH(Api::ResolveMessage("com.velora.ovik.kms.no_such_message"), "NOT_REACHED");
}

}  // namespace
