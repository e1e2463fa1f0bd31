// Async results (exactly once, drop answers internal_server_error), messages and their rendering,
// and the error values with their JSON-RPC codes.
#include <mirel/async_result.h>
#include <mirel/errors.h>
#include <mirel/messages.h>

#include <gtest/gtest.h>

#include <optional>

namespace {

using Mirel::MethodResult;

struct Captured {
  int calls = 0;
  std::optional<MethodResult> result;
  Mirel::CompletionCallback Callback() {
    return [this](MethodResult r) {
      ++calls;
      result = std::move(r);
    };
  }
};

std::shared_ptr<const Mirel::L10n::Localizer> KmsLocalizer() {
  return std::make_shared<Mirel::L10n::Localizer>("en_US", [](const std::string& id) {
    if (id == "com.velora.ovik.kms.providers.not_found") {
      return std::string("The provider '{provider}' does not exist.");
    }
    return std::string("?");
  });
}

TEST(AsyncResult, CompletesOnceWithValueOrError) {
  Captured captured;
  {
    auto result = Mirel::MakeAsyncResult<std::string>(captured.Callback());
    auto copy = result;  // copies share one completion
    copy.SetResult("done");
  }
  ASSERT_EQ(captured.calls, 1);
  EXPECT_EQ(*captured.result->value, boost::json::value("done"));

  Captured failed;
  Mirel::MakeAsyncResult<void>(failed.Callback(), KmsLocalizer())
      .SetError(Mirel::MakeErrorValue(
          Mirel::ErrorTypes::kNotFound,
          {Mirel::NamedMessageBuilder("com.velora.ovik.kms.providers.not_found", "")
               .put("provider", "prov9")}));
  ASSERT_EQ(failed.calls, 1);
  ASSERT_TRUE(failed.result->IsError());
  EXPECT_EQ(failed.result->error->type, "com.velora.mirel.std.errors.not_found");
  EXPECT_EQ(Mirel::ErrorText(*failed.result->error), "The provider 'prov9' does not exist.");
  EXPECT_EQ(Mirel::JsonRpcCode(*failed.result->error), -32000);
}

TEST(AsyncResult, DroppedWithoutCompletionAnswersInternalServerError) {
  Captured captured;
  { auto result = Mirel::MakeAsyncResult<int64_t>(captured.Callback()); }
  ASSERT_EQ(captured.calls, 1);
  ASSERT_TRUE(captured.result->IsError());
  EXPECT_EQ(captured.result->error->type, "com.velora.mirel.std.errors.internal_server_error");
  EXPECT_EQ(Mirel::JsonRpcCode(*captured.result->error), -32603);
}

TEST(AsyncResultDeathTest, SecondCompletionPanics) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto result = Mirel::MakeAsyncResult<void>([](MethodResult) {});
        result.SetResult();
        result.SetError(Mirel::InternalServerError());
      },
      "VERIFY .*async_result.cpp");
}

TEST(Messages, BuildAndRender) {
  Mirel::Message message = Mirel::NamedMessageBuilder("com.velora.ovik.kms.x", "")
                               .put("days", int64_t{30})
                               .put("server", "s{1}")
                               .build();
  EXPECT_EQ(message.args.at("days"), "30");
  EXPECT_EQ(Mirel::L10n::Format("in {days} days on {server}, {unknown} {", message.args),
            "in 30 days on s{1}, {unknown} {");
  // Framework identifiers use the framework's own table, never the application lookup.
  Mirel::L10n::Localizer localizer("en_US", [](const std::string&) { return std::string("app"); });
  EXPECT_EQ(localizer.Render(Mirel::Message{
                "com.velora.mirel.std.errors.invalid_params", "", {{"member", "a.b"}}}),
            "Invalid value for member 'a.b'.");
  EXPECT_EQ(localizer.Render(message), "app");
  // Other identifiers keep their own default text as template.
  EXPECT_EQ(localizer.Render(Mirel::Message{"other.id", "x={x}", {{"x", "1"}}}), "x=1");
}

TEST(Messages, LanguagePreference) {
  using Mirel::L10n::MakeLanguagePreference;
  EXPECT_EQ(MakeLanguagePreference("de-DE,en;q=0.5", "en_US"), "de_DE");
  EXPECT_EQ(MakeLanguagePreference("", "en_US"), "en_US");
  EXPECT_EQ(MakeLanguagePreference("*", "en_US"), "en_US");
  EXPECT_EQ(MakeLanguagePreference("x\"y", "en_US"), "en_US");
}

TEST(Errors, FrameworkErrorsAndCodes) {
  const auto invalid = Mirel::InvalidParamsError("spec.keyServer");
  EXPECT_EQ(invalid.type, "com.velora.mirel.std.errors.invalid_argument");
  EXPECT_EQ(Mirel::JsonRpcCode(invalid), -32602);
  EXPECT_EQ(Mirel::ErrorText(invalid), "Invalid value for member 'spec.keyServer'.");
  EXPECT_EQ(invalid.messages[0].args.at("member"), "spec.keyServer");
  EXPECT_EQ(Mirel::JsonRpcCode(Mirel::OperationNotFoundError("a.b", "c")), -32601);
  EXPECT_EQ(Mirel::JsonRpcCode(Mirel::InvalidRequestError("x")), -32600);
  // A service's own InvalidArgument is an ordinary error value.
  Com::Velora::Mirel::Std::Errors::InvalidArgument argument;
  argument.messages.push_back(
      {"com.velora.ovik.kms.providers.invalid_argument", "", {{"parameter", "keySize"}}});
  const auto adapted = Mirel::Data::NativeToValueAdapter::Adapt(argument);
  EXPECT_EQ(Mirel::JsonRpcCode(adapted), -32000);
  EXPECT_EQ(Mirel::ErrorText(Mirel::MakeErrorValue(Mirel::ErrorTypes::kError)),
            "com.velora.mirel.std.errors.error");
  const auto data = Mirel::ErrorData(adapted);
  EXPECT_EQ(data.at("type"), boost::json::value("com.velora.mirel.std.errors.invalid_argument"));
  EXPECT_EQ(data.at("messages").at(0).at("args").at("parameter"), boost::json::value("keySize"));
}

}  // namespace
