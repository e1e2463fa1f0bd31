// The running daemon under misbehaving and many clients: silent and trickling connections do not
// hold up others, an idle flood is capped, and concurrent keep-alive clients are all served.
// Bounds here only catch hangs; speed is the benchmark's business.
#include "rpc.h"
#include "stack_suite.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ZyldIt {
namespace {

constexpr size_t kDefaultConnectionCap = 1024;

size_t OpenDescriptors(pid_t pid) {
  size_t n = 0;
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return 0;
  while (::readdir(dir) != nullptr) ++n;
  ::closedir(dir);
  return n - 2;  // "." and ".."
}

class Reliability : public StackSuite {
 protected:
  static bool Served(int id = 1) {
    auto r = RoundTrip(Port(), PostRequest(RpcBody(kProviderGet, "", id)));
    return r && ResultOf(ParseJson(r->body)).is_object();
  }
};

TEST_F(Reliability, SilentAndTricklingClientsDoNotHoldUpOthers) {
  std::vector<Connection> silent;
  for (int i = 0; i < 64; ++i) {
    silent.emplace_back(Port());
    ASSERT_TRUE(silent.back().Ok());
  }
  // Each trickler writes a whole request a few bytes at a time and must then be answered too.
  std::atomic<int> trickledAnswers{0};
  std::vector<std::thread> tricklers;
  for (int t = 0; t < 8; ++t) {
    tricklers.emplace_back([&trickledAnswers, t] {
      Connection c(Port());
      const std::string request = PostRequest(RpcBody(kProviderGet, "", 100 + t));
      for (size_t at = 0; at < request.size(); at += 4) {
        if (!c.Send(request.substr(at, 4))) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      auto r = c.ReadResponse();
      if (r && ResultOf(ParseJson(r->body)).is_object()) ++trickledAnswers;
    });
  }
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(Served(i)) << "call " << i << " was not answered while other clients stalled";
  }
  for (auto& t : tricklers) t.join();
  EXPECT_EQ(trickledAnswers.load(), 8);
}

TEST_F(Reliability, AnIdleFloodIsCappedAndNewClientsAreAnsweredOrRefusedCleanly) {
  const size_t before = OpenDescriptors(stack_->DaemonPid());
  std::vector<Connection> flood;
  for (size_t i = 0; i < kDefaultConnectionCap + 100; ++i) {
    flood.emplace_back(Port());
    ASSERT_TRUE(flood.back().Ok()) << "connect " << i << " failed: errno " << flood.back().Error();
  }
  // Connections beyond the cap are closed by the daemon at once.
  size_t closed = 0;
  const auto deadline = std::chrono::steady_clock::now() + kAnswerBound;
  for (size_t i = kDefaultConnectionCap; i < flood.size(); ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    closed += flood[i].ClosedByPeer(std::max(left, std::chrono::milliseconds(1))) ? 1 : 0;
  }
  EXPECT_GE(closed, 90u);
  EXPECT_LE(OpenDescriptors(stack_->DaemonPid()), before + kDefaultConnectionCap + 16);
  {
    Connection extra(Port());
    ASSERT_TRUE(extra.Ok());
    extra.Send(PostRequest(RpcBody(kProviderGet)));
    auto r = extra.ReadResponse();
    if (r) {
      EXPECT_EQ(r->status, 200);
    } else {
      EXPECT_TRUE(extra.ClosedByPeer()) << "the extra client was neither answered nor refused";
    }
  }
  EXPECT_NE(ReadFile(stack_->Env("LOG")).find("Connection limit reached"), std::string::npos);
  flood.clear();
  // Once the flood has gone, new clients are served again (the daemon notices the closes).
  bool served = false;
  for (int attempt = 0; attempt < 100 && !served; ++attempt) {
    served = Served();
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served);
}

TEST_F(Reliability, ConcurrentKeepAliveClientsAreAllServed) {
  constexpr int kClients = 16;
  constexpr int kCallsEach = 20;
  const std::string token = stack_->Token("attestation");
  const std::string body =
      RpcBody(kGenerateKey, "{\"provider\":\"" + stack_->Env("PROVIDER") + "\",\"keySize\":32}");
  const size_t auditBefore = stack_->AuditLines().size();
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      Connection conn(Port());
      for (int i = 0; i < kCallsEach; ++i) {
        if (!conn.Send(PostRequest(body, Bearer(token)))) return;
        auto r = conn.ReadResponse();
        if (!r || r->Header("connection") != "Keep-Alive") return;
        if (!StringAt(ParseJson(r->body), {"result", "wrappedKey"}).empty()) ++good;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), kClients * kCallsEach);
  EXPECT_EQ(stack_->AuditLines().size(), auditBefore + kClients * kCallsEach);
}

}  // namespace
}  // namespace ZyldIt
