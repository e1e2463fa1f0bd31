// The error catalogue: result codes to identifiers, every identifier to its template, rendering
// through the daemon's localizer, and the standard error builders.
#include "mirel/error.h"
#include "mirel/message_resolver.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

namespace Api = Zyld::ZylApi;

constexpr const char* kPrefix = "com.velora.ovik.kms.";

TEST(ErrorIdForResultTest, EveryResultCodeHasItsIdentifier) {
  const std::pair<uint32_t, const char*> table[] = {
      {1, "master_key_not_found"},
      {2, "master_key_pre_active"},
      {3, "master_key_unusable_for_encryption"},
      {4, "master_key_unusable"},
      {5, "master_key_length_unsupported"},
      {6, "keyoperationsvc.generatekey.error"},
      {7, "keyoperationsvc.generatekey.error"},
      {8, "keyoperationsvc.generatekey.error"},
      {9, "key_server_timeout"},
      {10, "key_server_communication_error"},
      {11, "cert_format_unknown"},
      {12, "server_cert_not_required"},
      {13, "no_versions_found"},
      {14, "no_supported_versions"},
      {15, "keyoperationsvc.generatekey.error"},
      {16, "keyoperationsvc.generatekey.error"},
  };
  for (const auto& [code, tail] : table) {
    const std::string id = Api::ErrorIdForResult(code, Api::kGenerateKeyOperation);
    EXPECT_EQ(id, std::string(kPrefix) + tail) << code;
    EXPECT_TRUE(Api::IsCatalogued(id)) << id;
  }
  EXPECT_EQ(Api::ErrorIdForResult(17, Api::kGenerateKeyOperation), "");
  EXPECT_EQ(Api::ErrorIdForResult(0xFFFFFFFFu, Api::kDecryptOperation), "");
}

TEST(ErrorIdForResultTest, GenericCodesFollowTheOperation) {
  const std::string decrypt = Api::ErrorIdForResult(6, Api::kDecryptOperation);
  EXPECT_EQ(decrypt, "com.velora.ovik.kms.keyoperationsvc.decrypt.error");
  EXPECT_EQ(Api::ResolveMessage(decrypt), "Unable to decrypt the ciphertext.");
  EXPECT_EQ(Api::ResolveMessage(Api::ErrorIdForResult(8, Api::kGenerateKeyOperation)),
            "Unable to generate a new key.");
  // The status and remote-certificate services name catalogued identifiers too.
  EXPECT_EQ(Api::ResolveMessage(Api::ErrorIdForResult(15, "providers.statussvc.get")),
            "Unable to get status information from server {server}.");
  EXPECT_EQ(
      Api::ResolveMessage(Api::ErrorIdForResult(7, "providers.server_certificates.remotesvc.list")),
      "Unable to get certificate from the server {server}.");
}

TEST(ErrorIdForResultTest, NeighbouringCertificateCodesStayApart) {
  const std::string id12 = Api::ErrorIdForResult(12, Api::kDecryptOperation);
  const std::string id11 = Api::ErrorIdForResult(11, Api::kDecryptOperation);
  EXPECT_EQ(id12, "com.velora.ovik.kms.server_cert_not_required");
  EXPECT_NE(id12, id11);
  EXPECT_EQ(Api::ResolveMessage(id12), "Key server {server} did not request a certificate.");
  EXPECT_EQ(Api::ResolveMessage(id11), "Unable to determine the certificate format.");
}

TEST(ErrorIdForResultDeathTest, SuccessHasNoIdentifier) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Api::ErrorIdForResult(0, Api::kDecryptOperation), "NOT_REACHED");
}

TEST(CatalogueTest, EveryEntryResolvesToATemplateWithKnownArguments) {
  ASSERT_EQ(Api::CatalogueSize(), 38u);
  const std::set<std::string> argumentNames = {"server", "parameter", "provider",
                                               "num",    "days",      "reason"};
  std::set<std::string> ids;
  for (size_t i = 0; i < Api::CatalogueSize(); ++i) {
    const std::string id(Api::CatalogueId(i));
    EXPECT_TRUE(id.starts_with(kPrefix)) << id;
    EXPECT_TRUE(ids.insert(id).second) << "duplicate " << id;
    const std::string& text = Api::ResolveMessage(id);
    EXPECT_FALSE(text.empty()) << id;
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
      const size_t close = text.find('}', open);
      ASSERT_NE(close, std::string::npos) << id;
      EXPECT_TRUE(argumentNames.count(text.substr(open + 1, close - open - 1))) << id;
    }
  }
  // Two store errors share their text but not their identity.
  EXPECT_EQ(Api::ResolveMessage("com.velora.ovik.kms.providers.config_store_error"),
            Api::ResolveMessage("com.velora.ovik.kms.raw_config.config_store_error"));
  EXPECT_EQ(Api::ResolveMessage("com.velora.ovik.kms.providers.config_store_error"),
            "Unable to update configuration.");
  EXPECT_FALSE(Api::IsCatalogued("com.velora.ovik.kms.PROVIDERS.not_found"));
}

TEST(CatalogueTest, TheLocalizerRendersCatalogueMessages) {
  const auto localizer = Api::MakeLocalizer();
  EXPECT_EQ(localizer->DefaultLocale(), "en_US");
  EXPECT_EQ(localizer->Render(Api::MakeMessage("com.velora.ovik.kms.master_key_not_found",
                                               {{"server", "kms-2"}})),
            "Unable to find the master key on key server kms-2.");
  EXPECT_EQ(localizer->Render(Api::MakeMessage("com.velora.ovik.kms.providers.invalid_argument",
                                               {{"parameter", "keySize"}})),
            "A specified parameter was not correct: 'keySize'.");
}

TEST(CatalogueDeathTest, UnknownIdentifierIsAProgrammingError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Api::ResolveMessage("com.velora.ovik.kms.no_such_message"), "NOT_REACHED");
  const auto localizer = Api::MakeLocalizer();
  EXPECT_DEATH(localizer->Render(Api::MakeMessage("com.velora.ovik.kms.typo")), "NOT_REACHED");
}

TEST(ErrorBuildersTest, BuildersGiveTheStandardTypesWithTheirMessages) {
  const Mirel::Message m =
      Api::MakeMessage("com.velora.ovik.kms.providers.not_found", {{"provider", "prov9"}});
  EXPECT_EQ(m.defaultMessage, "");
  EXPECT_EQ(m.args.at("provider"), "prov9");
  const std::pair<Mirel::ErrorValue, std::string_view> cases[] = {
      {Api::MakeError({m}), Mirel::ErrorTypes::kError},
      {Api::MakeNotFoundError({m}), Mirel::ErrorTypes::kNotFound},
      {Api::MakeInvalidArgumentError({m}), Mirel::ErrorTypes::kInvalidArgument},
      {Api::MakeAlreadyExistsError({m}), Mirel::ErrorTypes::kAlreadyExists},
      {Api::MakeUnsupportedError({m}), Mirel::ErrorTypes::kUnsupported},
      {Api::MakeUnauthenticatedError({m}), Mirel::ErrorTypes::kUnauthenticated},
  };
  for (const auto& [error, type] : cases) {
    EXPECT_EQ(error.type, type);
    ASSERT_EQ(error.messages.size(), 1u);
    EXPECT_EQ(error.messages[0].id, m.id);
    EXPECT_EQ(error.messages[0].args, m.args);
  }
  EXPECT_TRUE(Api::MakeError({}).messages.empty());
}

TEST(ErrorBuildersTest, ProviderErrorKinds) {
  const Mirel::Message exists =
      Api::MakeMessage("com.velora.ovik.kms.providers.already_exists", {{"provider", "p"}});
  const Mirel::Message missing =
      Api::MakeMessage("com.velora.ovik.kms.providers.not_found", {{"provider", "p"}});
  const Mirel::ErrorValue kind1 = Api::MakeProviderError(1, {exists});
  EXPECT_EQ(kind1.type, Mirel::ErrorTypes::kAlreadyExists);
  ASSERT_EQ(kind1.messages.size(), 1u);
  EXPECT_EQ(kind1.messages[0].id, exists.id);
  const Mirel::ErrorValue kind3 = Api::MakeProviderError(3, {missing});
  EXPECT_EQ(kind3.type, Mirel::ErrorTypes::kNotFound);
  ASSERT_EQ(kind3.messages.size(), 1u);
  EXPECT_EQ(kind3.messages[0].id, missing.id);
  for (int kind : {0, 2, 4, -1}) {
    const Mirel::ErrorValue other = Api::MakeProviderError(kind, {exists, missing});
    EXPECT_EQ(other.type, Mirel::ErrorTypes::kError) << kind;
    ASSERT_EQ(other.messages.size(), 1u) << kind;
    EXPECT_EQ(other.messages[0].id, "com.velora.ovik.kms.providers.config_store_error");
    EXPECT_TRUE(other.messages[0].args.empty());
    EXPECT_EQ(Api::MakeLocalizer()->Render(other.messages[0]), "Unable to update configuration.");
  }
}

}  // namespace
