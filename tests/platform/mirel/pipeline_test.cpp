// The pipeline's filters on their own: the authorisation filter refuses operations without grants,
// and the authentication filter waits for a handler that answers later. The pipeline as the
// daemon assembles it is tested with the daemon.
#include <mirel/authn.h>
#include <mirel/authz.h>
#include <mirel/errors.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <thread>

namespace {

using Mirel::MethodResult;

// Answers with the caller's subject and the operation.
struct Inner : Mirel::ApiProvider {
  void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override {
    done(MethodResult::Value(boost::json::value(
        std::string(*Mirel::Authn::SubjectOf(ctx->authData)) + ":" + request.operationId)));
  }
};

// Calls operation "op" of service "s" through `filter`; `answer` is set once it answers.
void CallOp(Mirel::ApiProvider& filter, std::shared_ptr<Mirel::CallContext> ctx,
            std::optional<MethodResult>& answer) {
  filter.Invoke(std::move(ctx), Mirel::ApiRequest{{}, "s", "op", {}},
                [&answer](MethodResult r) { answer = std::move(r); });
}

// An authenticated caller of an operation that the entitlement table does not name is refused,
// whatever the entitlement checker would say.
TEST(AuthzFilter, OperationWithoutGrantsIsRefused) {
  struct AllowAll : Mirel::Authz::EntitlementChecker {
    bool IsAuthorized(const boost::json::value&,
                      const Mirel::Authz::OperationGrants&) const override {
      return true;
    }
  };
  Mirel::Authz::AsyncAuthzFilter filter(std::make_shared<Inner>(),
                                        std::make_shared<Mirel::Authz::AuthzInfo>(),
                                        std::make_shared<AllowAll>());
  auto ctx = std::make_shared<Mirel::CallContext>();
  ctx->authData = boost::json::object{{"username", "u"}};
  std::optional<MethodResult> answer;
  CallOp(filter, ctx, answer);
  ASSERT_TRUE(answer.has_value() && answer->IsError());
  EXPECT_EQ(answer->error->type, "com.velora.mirel.std.errors.unauthorized");
}

// A handler that answers after the filter has returned, from another thread.
class LaterHandler : public Mirel::Authn::Authenticator {
 public:
  void Authenticate(const Mirel::CallContext&, Mirel::Authn::AuthnCallback answer) override {
    pending = std::move(answer);
  }
  Mirel::Authn::AuthnCallback pending;
};

TEST(AuthnFilter, HandlerMayAnswerLaterOnAnotherThread) {
  auto handler = std::make_shared<LaterHandler>();
  Mirel::Authn::AsyncAuthnFilter filter(std::make_shared<Inner>(), handler);
  std::optional<MethodResult> answer;
  CallOp(filter, std::make_shared<Mirel::CallContext>(), answer);
  ASSERT_FALSE(answer.has_value());
  std::thread([&handler] {
    handler->pending(Mirel::Authn::AuthnAnswer::Data(boost::json::object{{"username", "u"}}));
  }).join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer->value, boost::json::value("u:op"));
}

}  // namespace
