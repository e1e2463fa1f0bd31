// The result callback handed to a service operation. A call's AsyncResult completes exactly once,
// with SetResult or SetError; completing it a second time is a programming error (the process
// panics). Copies share one completion: when the last copy goes away without completion, the call
// is answered internal_server_error. Results are encoded with the codec; messages in results and
// errors are rendered through the binding's localizer.
#pragma once

#include <mirel/codec.h>
#include <mirel/messages.h>
#include <mirel/provider.h>

#include <atomic>
#include <memory>
#include <utility>

namespace Mirel {

namespace Detail {

class ResultState {
 public:
  ResultState(CompletionCallback done, std::shared_ptr<const L10n::Localizer> localizer);
  ~ResultState();
  ResultState(const ResultState&) = delete;
  ResultState& operator=(const ResultState&) = delete;

  void CompleteValue(boost::json::value value);
  void CompleteError(ErrorValue error);
  const L10n::Localizer* Localizer() const { return localizer_.get(); }

 private:
  void Complete(MethodResult result);

  std::atomic<bool> completed_{false};
  CompletionCallback done_;
  std::shared_ptr<const L10n::Localizer> localizer_;
};

}  // namespace Detail

template <class T>
class AsyncResult {
 public:
  explicit AsyncResult(std::shared_ptr<Detail::ResultState> state) : state_(std::move(state)) {}

  void SetResult(const T& value) {
    Codec::EncodeOptions options{state_->Localizer()};
    state_->CompleteValue(Codec::Encode(value, options));
  }
  void SetError(ErrorValue error) { state_->CompleteError(std::move(error)); }

 private:
  std::shared_ptr<Detail::ResultState> state_;
};

// For operations without a result: SetResult() answers null.
template <>
class AsyncResult<void> {
 public:
  explicit AsyncResult(std::shared_ptr<Detail::ResultState> state) : state_(std::move(state)) {}

  void SetResult() { state_->CompleteValue(nullptr); }
  void SetError(ErrorValue error) { state_->CompleteError(std::move(error)); }

 private:
  std::shared_ptr<Detail::ResultState> state_;
};

// A result whose completion goes to `done`.
template <class T>
AsyncResult<T> MakeAsyncResult(CompletionCallback done,
                               std::shared_ptr<const L10n::Localizer> localizer = nullptr) {
  return AsyncResult<T>(
      std::make_shared<Detail::ResultState>(std::move(done), std::move(localizer)));
}

}  // namespace Mirel
