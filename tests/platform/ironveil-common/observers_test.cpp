// The call observers around an inner provider that answers by operation: each passes the call
// and its answer on unchanged, and records what it is for (traffic and error counts, latency
// buckets). The operation identifier per call is checked in the audit records of the pipeline.
#include <ironveil-common/quorex_mirel_providers.h>
#include <mirel/errors.h>

#include <gtest/gtest.h>

namespace {

namespace QM = Brask::Common::QuorexMirel;

// Answers "fail" with an error, anything else with the operation's name.
class Inner : public Mirel::ApiProvider {
 public:
  void Invoke(std::shared_ptr<Mirel::CallContext>, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override {
    if (request.operationId == "fail") {
      done(Mirel::MethodResult::Error(Mirel::MakeErrorValue(Mirel::ErrorTypes::kNotFound)));
    } else {
      done(Mirel::MethodResult::Value(boost::json::value(request.operationId)));
    }
  }
};

Mirel::MethodResult Call(Mirel::ApiProvider& stage, const std::string& operation) {
  Mirel::ApiRequest request;
  request.serviceId = "svc";
  request.operationId = operation;
  Mirel::MethodResult out;
  int completions = 0;
  stage.Invoke(std::make_shared<Mirel::CallContext>(), request, [&](Mirel::MethodResult r) {
    ++completions;
    out = std::move(r);
  });
  EXPECT_EQ(completions, 1);
  return out;
}

class ObserversTest : public ::testing::Test {
 protected:
  Quorex::Service::ThreadPool pool_{1, 2};
  std::shared_ptr<Inner> inner_ = std::make_shared<Inner>();
  std::shared_ptr<QM::TrafficTracker> traffic_ = std::make_shared<QM::TrafficTracker>(
      Quorex::Service::Logger::Default(), std::chrono::hours(1), &pool_);
  std::shared_ptr<QM::ErrorsTracker> errors_ = std::make_shared<QM::ErrorsTracker>(
      Quorex::Service::Logger::Default(), std::chrono::hours(1), &pool_);
};

TEST_F(ObserversTest, CallsAreCountedPerOperationAndTypeAndTimedOnce) {
  auto latency = std::make_shared<QM::LatencyProvider>(inner_, Quorex::Service::Logger::Default());
  auto traffic = std::make_shared<QM::TrafficProvider>(latency, traffic_);
  QM::ErrorsProvider stage(traffic, errors_);
  EXPECT_EQ(Call(stage, "get").value->as_string(), "get");
  EXPECT_EQ(Call(stage, "get").value->as_string(), "get");
  EXPECT_EQ(Call(stage, "fail").error->type, "com.velora.mirel.std.errors.not_found");
  const auto calls = traffic_->Snapshot();
  EXPECT_EQ(calls.at("svc.get").calls, 2u);
  EXPECT_EQ(calls.at("svc.get").failures, 0u);
  EXPECT_EQ(calls.at("svc.fail").failures, 1u);
  const auto errorCounts = errors_->Snapshot();
  ASSERT_EQ(errorCounts.size(), 1u);
  EXPECT_EQ(errorCounts.at("com.velora.mirel.std.errors.not_found"), 1u);
  uint64_t timed = 0;
  for (uint64_t count : latency->Snapshot()) timed += count;
  EXPECT_EQ(timed, 3u);  // one latency bucket per call
}

}  // namespace
