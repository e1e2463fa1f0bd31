#include <mirel/async_result.h>
#include <mirel/errors.h>

#include <harlibs/log.h>

namespace Mirel::Detail {

ResultState::ResultState(CompletionCallback done, std::shared_ptr<const L10n::Localizer> localizer)
    : done_(std::move(done)), localizer_(std::move(localizer)) {}

ResultState::~ResultState() {
  if (!completed_.exchange(true, std::memory_order_acq_rel) && done_) {
    done_(MethodResult::Error(InternalServerError()));
  }
}

void ResultState::CompleteValue(boost::json::value value) {
  Complete(MethodResult::Value(std::move(value)));
}

void ResultState::CompleteError(ErrorValue error) {
  if (localizer_) {
    localizer_->Resolve(error.messages);
  }
  Complete(MethodResult::Error(std::move(error)));
}

void ResultState::Complete(MethodResult result) {
  // A second completion is a programming error of the service.
  VERIFY(!completed_.exchange(true, std::memory_order_acq_rel));
  CompletionCallback done = std::move(done_);
  if (done) {
    done(std::move(result));
  }
}

}  // namespace Mirel::Detail
