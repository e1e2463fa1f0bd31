#include <mirel/authn.h>
#include <mirel/registrar.h>

namespace Mirel {

CallRegistrarBase::CallRegistrarBase(ApiProviderPtr inner) : inner_(std::move(inner)) {}

void CallRegistrarBase::Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
                               CompletionCallback done) {
  CallInfo info;
  info.firstNamePart = request.serviceId;
  info.secondNamePart = request.operationId;
  info.attributes = &ctx->attributes;
  NotifyOnInvoke(info);
  auto context = ctx;  // the inner stages may let go of the context before completing
  inner_->Invoke(std::move(ctx), std::move(request),
                 [this, context = std::move(context), info = std::move(info),
                  done = std::move(done)](MethodResult result) mutable {
                   if (const auto subject = Authn::SubjectOf(context->authData)) {
                     info.subject.emplace(*subject);
                   }
                   info.success = !result.IsError();
                   if (result.IsError()) {
                     info.errorType = result.error->type;
                   }
                   NotifyOnComplete(info);
                   done(std::move(result));
                 });
}

}  // namespace Mirel
