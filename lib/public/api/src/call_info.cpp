#include <api/call_info.h>

#include <utility>

namespace Api {

CallInfo::CallInfo(AttributeMap* attributes, CompletionCallback onComplete)
    : attributes_(attributes), onComplete_(std::move(onComplete)) {}

void CallInfo::Complete(std::optional<uint32_t> status) {
  status_ = status;
  if (!onComplete_) {
    return;
  }
  CompletionCallback callback = std::move(onComplete_);
  onComplete_ = nullptr;
  callback(*this);
}

}  // namespace Api
