#include <mirel/authn.h>

namespace Mirel::Authn {

std::optional<std::string_view> SubjectOf(const std::optional<boost::json::value>& authData) {
  if (!authData || !authData->is_object()) {
    return std::nullopt;
  }
  const auto* subject = authData->get_object().if_contains(kSubjectKey);
  if (subject == nullptr || !subject->is_string()) {
    return std::nullopt;
  }
  const auto& text = subject->get_string();
  return std::string_view(text.data(), text.size());
}

AsyncAuthnFilter::AsyncAuthnFilter(ApiProviderPtr inner, std::shared_ptr<Authenticator> handler,
                                   std::shared_ptr<Log::Logger> logger)
    : inner_(std::move(inner)), handler_(std::move(handler)), logger_(std::move(logger)) {}

void AsyncAuthnFilter::Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
                              CompletionCallback done) {
  if (ctx->authData.has_value()) {
    inner_->Invoke(std::move(ctx), std::move(request), std::move(done));
    return;
  }
  const auto keep = ctx;  // the context outlives the handler's look at it
  handler_->Authenticate(*keep, [inner = inner_, ctx = std::move(ctx), request = std::move(request),
                                 done = std::move(done)](AuthnAnswer answer) mutable {
    if (answer.IsFailure()) {
      done(MethodResult::Error(answer.TakeFailure()));
      return;
    }
    if (answer.IsData()) {
      ctx->authData = answer.TakeData();
    }
    inner->Invoke(std::move(ctx), std::move(request), std::move(done));
  });
}

}  // namespace Mirel::Authn
