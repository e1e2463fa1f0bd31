// Base of the integration suites that share one whole stack (PyKMIP + daemon): it is started by
// the first suite that needs it and taken down once all tests of the process have run.
#pragma once

#include "stack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace ZyldIt {

class StackSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (stack_ || !setupError_.empty()) return;
    stack_ = Stack::Up(setupError_);
  }
  void SetUp() override {
    ASSERT_NE(stack_, nullptr) << setupError_;
    if (admin_.empty()) admin_ = stack_->Token("admin", {"KMS_ADMIN"});
  }
  void TearDown() override {
    if (!stack_) return;
    EXPECT_TRUE(stack_->DaemonAlive()) << "the daemon is gone; log: " << stack_->Env("LOG");
    // A sanitizer build of the daemon reports into its log.
    const std::string log = ReadFile(stack_->Env("LOG"));
    for (const char* report :
         {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"}) {
      EXPECT_EQ(log.find(report), std::string::npos) << report << " in " << stack_->Env("LOG");
    }
  }

  static uint16_t Port() { return stack_->Port(); }

  static inline std::unique_ptr<Stack> stack_;
  static inline std::string setupError_;
  static inline std::string admin_;  // a token with the KMS_ADMIN entitlement

 private:
  class Teardown : public ::testing::Environment {
   public:
    void TearDown() override { stack_.reset(); }
  };
  // The framework owns registered environments.
  static inline ::testing::Environment* const teardown_ =
      ::testing::AddGlobalTestEnvironment(new Teardown);
};

}  // namespace ZyldIt
