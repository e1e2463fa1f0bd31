// Call observers of the API pipeline: stages that wrap an inner Mirel::ApiProvider, pass every
// call on unchanged and look at its answer on the completing thread.
//
// LatencyProvider   counts each call's duration in fixed buckets (Snapshot) and logs a call that
//                   took longer than the slow-call threshold (level 3).
// TrafficProvider   records every call with its duration and outcome in the TrafficTracker,
//                   under "service.operation".
// ErrorsProvider    records the error type of every failed call in the ErrorsTracker.
// OpIdProvider      gives each call an operation identifier, unique within the process, put in
//                   the call's attributes as "opId" (so it reaches the audit record) and in the
//                   trace lines (level 6) at the start and the end of the call.
// All are thread-safe; the trackers are shared with the daemon. A call in flight keeps what its
// completion needs alive (LatencyProvider must be owned by a shared_ptr).
#pragma once

#include <ironveil-common/quorex_mirel.h>
#include <mirel/provider.h>
#include <quorex/quorex.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace Brask::Common::QuorexMirel {

inline constexpr const char* kOpIdAttribute = "opId";

// "service.operation" of a request.
std::string OperationName(const Mirel::ApiRequest& request);

class LatencyProvider final : public Mirel::ApiProvider,
                              public std::enable_shared_from_this<LatencyProvider> {
 public:
  // Upper bounds of the buckets in microseconds; the last bucket takes everything above.
  static constexpr std::array<uint64_t, 7> kBucketBoundsUs = {100,     1000,     10000,   100000,
                                                              1000000, 10000000, 60000000};
  using Counts = std::array<uint64_t, kBucketBoundsUs.size() + 1>;

  LatencyProvider(Mirel::ApiProviderPtr inner, std::shared_ptr<Quorex::Service::Logger> logger,
                  std::chrono::milliseconds slowCall = std::chrono::seconds(5));
  void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override;
  Counts Snapshot() const;

 private:
  void Record(const std::string& op, uint64_t latencyUs);

  Mirel::ApiProviderPtr inner_;
  std::shared_ptr<Quorex::Service::Logger> logger_;
  uint64_t slowCallUs_;
  std::array<std::atomic<uint64_t>, kBucketBoundsUs.size() + 1> buckets_{};
};

class TrafficProvider final : public Mirel::ApiProvider {
 public:
  TrafficProvider(Mirel::ApiProviderPtr inner, std::shared_ptr<TrafficTracker> tracker);
  void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override;

 private:
  Mirel::ApiProviderPtr inner_;
  std::shared_ptr<TrafficTracker> tracker_;
};

class ErrorsProvider final : public Mirel::ApiProvider {
 public:
  ErrorsProvider(Mirel::ApiProviderPtr inner, std::shared_ptr<ErrorsTracker> tracker);
  void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override;

 private:
  Mirel::ApiProviderPtr inner_;
  std::shared_ptr<ErrorsTracker> tracker_;
};

class OpIdProvider final : public Mirel::ApiProvider {
 public:
  OpIdProvider(Mirel::ApiProviderPtr inner, std::shared_ptr<Quorex::Service::Logger> logger);
  void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override;

 private:
  std::string NextId();

  Mirel::ApiProviderPtr inner_;
  std::shared_ptr<Quorex::Service::Logger> logger_;
  uint32_t prefix_;  // random per instance, so identifiers differ between runs
  std::atomic<uint64_t> counter_{0};
};

}  // namespace Brask::Common::QuorexMirel
