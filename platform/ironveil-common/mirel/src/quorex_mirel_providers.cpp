#include <ironveil-common/quorex_mirel_providers.h>

#include <harlibs/clock.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <utility>

namespace Brask::Common::QuorexMirel {

namespace {

constexpr int kSlowCallLevel = 3;
constexpr int kTraceLevel = 6;

uint64_t ElapsedUs(uint64_t startNs) { return (HarClock_SystemTimerNS() - startNs) / 1000; }

bool Enabled(const std::shared_ptr<Quorex::Service::Logger>& logger, int level) {
  return logger && logger->CurrentLevel() >= level;
}

}  // namespace

std::string OperationName(const Mirel::ApiRequest& request) {
  std::string name;
  name.reserve(request.serviceId.size() + 1 + request.operationId.size());
  name.append(request.serviceId).append(".").append(request.operationId);
  return name;
}

LatencyProvider::LatencyProvider(Mirel::ApiProviderPtr inner,
                                 std::shared_ptr<Quorex::Service::Logger> logger,
                                 std::chrono::milliseconds slowCall)
    : inner_(std::move(inner)),
      logger_(std::move(logger)),
      slowCallUs_(static_cast<uint64_t>(std::chrono::microseconds(slowCall).count())) {}

void LatencyProvider::Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
                             Mirel::CompletionCallback done) {
  const uint64_t start = HarClock_SystemTimerNS();
  std::string op = OperationName(request);
  inner_->Invoke(std::move(ctx), std::move(request),
                 [self = shared_from_this(), start, op = std::move(op),
                  done = std::move(done)](Mirel::MethodResult result) {
                   self->Record(op, ElapsedUs(start));
                   done(std::move(result));
                 });
}

void LatencyProvider::Record(const std::string& op, uint64_t latencyUs) {
  size_t bucket = 0;
  while (bucket < kBucketBoundsUs.size() && latencyUs > kBucketBoundsUs[bucket]) {
    ++bucket;
  }
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  if (latencyUs > slowCallUs_ && Enabled(logger_, kSlowCallLevel)) {
    Quorex::Service::LogInternal(
        logger_, kSlowCallLevel, "%1",
        "Slow API call " + op + ": " + std::to_string(latencyUs / 1000) + " ms\n");
  }
}

LatencyProvider::Counts LatencyProvider::Snapshot() const {
  Counts counts{};
  for (size_t i = 0; i < counts.size(); ++i) {
    counts[i] = buckets_[i].load(std::memory_order_relaxed);
  }
  return counts;
}

TrafficProvider::TrafficProvider(Mirel::ApiProviderPtr inner,
                                 std::shared_ptr<TrafficTracker> tracker)
    : inner_(std::move(inner)), tracker_(std::move(tracker)) {}

void TrafficProvider::Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
                             Mirel::CompletionCallback done) {
  const uint64_t start = HarClock_SystemTimerNS();
  std::string op = OperationName(request);
  inner_->Invoke(std::move(ctx), std::move(request),
                 [tracker = tracker_, start, op = std::move(op),
                  done = std::move(done)](Mirel::MethodResult result) {
                   tracker->RecordCall(op, ElapsedUs(start), !result.IsError());
                   done(std::move(result));
                 });
}

ErrorsProvider::ErrorsProvider(Mirel::ApiProviderPtr inner, std::shared_ptr<ErrorsTracker> tracker)
    : inner_(std::move(inner)), tracker_(std::move(tracker)) {}

void ErrorsProvider::Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
                            Mirel::CompletionCallback done) {
  inner_->Invoke(std::move(ctx), std::move(request),
                 [tracker = tracker_, done = std::move(done)](Mirel::MethodResult result) {
                   if (result.IsError()) {
                     tracker->RecordError(result.error->type);
                   }
                   done(std::move(result));
                 });
}

OpIdProvider::OpIdProvider(Mirel::ApiProviderPtr inner,
                           std::shared_ptr<Quorex::Service::Logger> logger)
    : inner_(std::move(inner)), logger_(std::move(logger)), prefix_(std::random_device()()) {}

std::string OpIdProvider::NextId() {
  char text[32];
  std::snprintf(text, sizeof(text), "%08" PRIx32 "-%" PRIu64, prefix_,
                counter_.fetch_add(1, std::memory_order_relaxed) + 1);
  return text;
}

void OpIdProvider::Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
                          Mirel::CompletionCallback done) {
  std::string opId = NextId();
  ctx->attributes[kOpIdAttribute] = opId;
  if (Enabled(logger_, kTraceLevel)) {
    Quorex::Service::LogInternal(
        logger_, kTraceLevel, "%1",
        "API call " + OperationName(request) + " opId " + opId + " started\n");
  }
  inner_->Invoke(std::move(ctx), std::move(request),
                 [logger = logger_, opId = std::move(opId),
                  done = std::move(done)](Mirel::MethodResult result) {
                   if (Enabled(logger, kTraceLevel)) {
                     Quorex::Service::LogInternal(
                         logger, kTraceLevel, "%1",
                         "API call opId " + opId +
                             (result.IsError() ? " failed: " + result.error->type : " succeeded") +
                             "\n");
                   }
                   done(std::move(result));
                 });
}

}  // namespace Brask::Common::QuorexMirel
