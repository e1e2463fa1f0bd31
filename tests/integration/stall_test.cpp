// A stalled key server (the stack's PyKMIP stopped with SIGSTOP) holds up only the calls that need
// it: introspection and warm key operations answer meanwhile, and cold calls fail about one
// time-out after they arrived.
#include "rpc.h"
#include "stack_suite.h"

#include <test_wait.h>
#include <zyl-common/kms_metadata_parser.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace ZyldIt {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kTimeoutSeconds = 5;  // the provider's connection_timeout for this suite
constexpr auto kTimeout = std::chrono::seconds(kTimeoutSeconds);
constexpr int kColdCalls = 6;  // more than the endpoint's I/O tasks
// The first status refresh runs at start-up, the next one an interval later.
constexpr auto kRefreshBound = 120s;
// The shortest status refresh interval, so that a refresh after the time-out is shortened (which
// drops the provider's object and its warm cache) comes about a minute after start.
constexpr const char* kRefreshXml = "<statusUpdateIntervalSeconds>60</statusUpdateIntervalSeconds>";
constexpr auto kCallsLanded = 500ms;  // for the cold calls to reach the daemon

// A well-formed wrapped key naming a master key the server does not hold.
std::string WrappedKeyNaming(const std::string& keyId) {
  const std::vector<uint8_t> ciphertext(32, 'c');
  std::string wrapped;
  Zyl::KeyProviders::Metadata::KmipMetadataParser().Add(
      keyId, std::vector<uint8_t>(12, 'i'), std::vector<uint8_t>(16, 't'), ciphertext.data(),
      ciphertext.size(), wrapped);
  return wrapped;
}

class Stall : public StackSuite {
 protected:
  static void SetUpTestSuite() {
    ::setenv("ZYLD_STACK_EXTRA_XML", kRefreshXml, 1);
    StackSuite::SetUpTestSuite();
  }

  static std::string Provider() { return stack_->Env("PROVIDER"); }

  // Re-imports the stack's provider with a short connection time-out (before anything reads it).
  static bool ShortenTimeout() {
    std::string text = ReadFile(stack_->Dir() + "/provider.json");
    const std::string from = "\"connection_timeout\":30";
    const size_t at = text.find(from);
    if (at == std::string::npos) return false;
    text.replace(at, from.size(), "\"connection_timeout\":" + std::to_string(kTimeoutSeconds));
    const std::string path = stack_->Dir() + "/provider-short-timeout.json";
    std::ofstream(path) << text;
    return RunCommand({stack_->Env("STORE_BIN"), "--db", stack_->Env("DB"), "import", path}) == 0;
  }

  // Status refreshes the daemon has finished so far.
  static size_t Refreshes() {
    const std::string log = ReadFile(stack_->Env("LOG"));
    size_t count = 0;
    for (size_t at = log.find(kRefreshDone); at != std::string::npos;
         at = log.find(kRefreshDone, at + 1)) {
      ++count;
    }
    return count;
  }

  // True once more than `done` refreshes have finished.
  static bool WaitForRefreshAfter(size_t done) {
    return TestSupport::Eventually([done] { return Refreshes() > done; }, kRefreshBound, 200ms);
  }

  static constexpr const char* kRefreshDone = "Status update done";
};

// Sends SIGCONT to the stopped key server however the test ends.
struct Resume {
  pid_t pid;
  ~Resume() { ::kill(pid, SIGCONT); }
};

struct ColdCall {
  std::thread thread;
  boost::json::value answer;
  Clock::duration took{};
};

TEST_F(Stall, AStalledKeyServerHoldsUpOnlyItsColdCalls) {
  ASSERT_TRUE(WaitForRefreshAfter(0)) << "no status refresh in " << stack_->Env("LOG");
  ASSERT_TRUE(ShortenTimeout());
  // A refresh that started after the change warms the rebuilt provider's cache.
  ASSERT_TRUE(WaitForRefreshAfter(Refreshes())) << "no later refresh in " << stack_->Env("LOG");
  const std::string token = stack_->Token("attestation");
  const std::string generate = "{\"provider\":\"" + Provider() + "\",\"keySize\":32}";
  ASSERT_FALSE(StringAt(Call(Port(), kGenerateKey, generate, token), {"result", "key"}).empty());
  const pid_t server = std::stoi(ReadFile(stack_->Dir() + "/pykmip/server.pid"));
  ASSERT_GT(server, 1);

  std::vector<ColdCall> cold(kColdCalls);
  {
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    Resume resume{server};
    const std::string decrypt = "{\"provider\":\"" + Provider() + "\",\"wrappedKey\":\"" +
                                WrappedKeyNaming("no-such-key") + "\"}";
    const auto fired = Clock::now();
    for (ColdCall& call : cold) {
      call.thread = std::thread([&call, &decrypt, &token, fired, port = Port()] {
        call.answer = Call(port, kDecrypt, decrypt, token);
        call.took = Clock::now() - fired;
      });
    }
    std::this_thread::sleep_for(kCallsLanded);

    auto start = Clock::now();
    EXPECT_FALSE(ResultOf(Call(Port(), kProviderGet, "")).is_null());
    EXPECT_LT(Clock::now() - start, kTimeout / 2) << "introspection waited for the key server";
    start = Clock::now();
    const auto warm = Call(Port(), kGenerateKey, generate, token);
    EXPECT_FALSE(StringAt(warm, {"result", "key"}).empty()) << boost::json::serialize(warm);
    EXPECT_LT(Clock::now() - start, kTimeout / 2) << "a warm call waited for the key server";
    for (ColdCall& call : cold) call.thread.join();
  }
  for (const ColdCall& call : cold) {
    EXPECT_TRUE(ResultOf(call.answer).is_null()) << boost::json::serialize(call.answer);
    EXPECT_FALSE(ErrorType(call.answer).empty()) << boost::json::serialize(call.answer);
    EXPECT_LT(call.took, 2 * kTimeout) << "a cold call outlived its provider's time-out";
  }
}

}  // namespace
}  // namespace ZyldIt
