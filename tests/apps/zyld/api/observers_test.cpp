// The call observers around an inner provider that answers by operation: each passes the call
// and its answer on unchanged, and records what it is for (traffic and error counts, latency
// buckets, an operation identifier per call in the audit attributes).
#include <ironveil-common/quorex_mirel_providers.h>
#include <mirel/errors.h>

#include <gtest/gtest.h>

#include <set>

namespace {

namespace QM = Brask::Common::QuorexMirel;

// Answers "fail" with an error, anything else with the operation's name; remembers the
// attributes it saw.
class Inner : public Mirel::ApiProvider {
 public:
  void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
              Mirel::CompletionCallback done) override {
    seen.push_back(ctx->attributes);
    if (request.operationId == "fail") {
      done(Mirel::MethodResult::Error(Mirel::MakeErrorValue(Mirel::ErrorTypes::kNotFound)));
    } else {
      done(Mirel::MethodResult::Value(boost::json::value(request.operationId)));
    }
  }
  std::vector<std::map<std::string, std::string>> seen;
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

TEST_F(ObserversTest, TrafficAndErrorsAreCountedPerOperationAndType) {
  auto traffic = std::make_shared<QM::TrafficProvider>(inner_, traffic_);
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
}

TEST_F(ObserversTest, LatencyIsCountedInOneBucketPerCall) {
  auto stage = std::make_shared<QM::LatencyProvider>(inner_, Quorex::Service::Logger::Default());
  Call(*stage, "get");
  Call(*stage, "fail");
  uint64_t total = 0;
  for (uint64_t count : stage->Snapshot()) {
    total += count;
  }
  EXPECT_EQ(total, 2u);
}

TEST_F(ObserversTest, EachCallGetsItsOwnOperationIdentifier) {
  QM::OpIdProvider stage(inner_, Quorex::Service::Logger::Default());
  QM::OpIdProvider other(inner_, Quorex::Service::Logger::Default());
  for (int i = 0; i < 3; ++i) {
    Call(stage, "get");
  }
  Call(other, "get");
  std::set<std::string> ids;
  for (const auto& attributes : inner_->seen) {
    ASSERT_EQ(attributes.count(QM::kOpIdAttribute), 1u);
    ids.insert(attributes.at(QM::kOpIdAttribute));
  }
  EXPECT_EQ(ids.size(), 4u);
}

}  // namespace
