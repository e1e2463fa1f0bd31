// A writer killed with SIGKILL in the middle of a burst leaves every committed object whole.
#include "test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ConfigStoreTest {
namespace {

constexpr int kProviders = 5;
constexpr int kCommitsBeforeKill = 150;

std::shared_ptr<ConfigStoreObject> Version(int provider, int version) {
  auto p = MakeProvider("p" + std::to_string(provider), 1 + version % 4);
  const std::string v = "v" + std::to_string(version);
  p->SetValue("master_key_id", v);
  auto ks = p->GetSubObject(SubObjectId("key_server"));
  ks->SetValue("description", v);
  for (const auto& s : ks->GetSubObject(SubObjectId("kmip_server"))->SubObjects()) {
    s->SetValue("hostname", v);
  }
  return p;
}

// Returns the version of a whole object, or -1 when its parts disagree.
int WholeVersion(const ConfigStoreObject& p) {
  std::string mk, desc;
  p.GetValue("master_key_id", mk);
  auto ks = p.GetSubObject(SubObjectId("key_server"));
  if (!ks || !ks->GetValue("description", desc) || desc != mk || mk.size() < 2) {
    return -1;
  }
  const int version = std::stoi(mk.substr(1));
  const auto& servers = ks->GetSubObject(SubObjectId("kmip_server"))->SubObjects();
  if (servers.size() != static_cast<size_t>(1 + version % 4)) {
    return -1;
  }
  for (const auto& s : servers) {
    std::string host;
    if (!s->GetValue("hostname", host) || host != mk) {
      return -1;
    }
  }
  return version;
}

[[noreturn]] void WriteForever(const std::string& path, int notifyFd) {
  auto store = ConfigStore::Open(path);
  for (int i = 0;; ++i) {
    if (i % 10 == 9) {
      auto scratch = ConfigStore::Open(":memory:");
      for (int p = 0; p < kProviders; ++p) {
        scratch->Set(Version(p, i), nullptr);
      }
      std::vector<ErrorInfo> errors;
      if (!store->Import(scratch->Export({kProvidersFilter}), errors)) {
        ::_exit(3);
      }
    } else {
      store->Set(Version(i % kProviders, i), nullptr);
    }
    const char token = 1;
    if (::write(notifyFd, &token, 1) != 1) {
      ::_exit(2);
    }
  }
}

TEST(Durability, KilledWriterLeavesCommittedObjectsWhole) {
  TempDir dir;
  const std::string path = dir.File("ovik.db");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    WriteForever(path, fds[1]);
  }
  ::close(fds[1]);
  int commits = 0;
  char buf[64];
  while (commits < kCommitsBeforeKill) {
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    ASSERT_GT(n, 0) << "writer ended early";
    commits += static_cast<int>(n);
  }
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  ::close(fds[0]);

  auto store = ConfigStore::Open(path);
  const auto all = store->List(kProvidersFilter);
  ASSERT_EQ(all.size(), static_cast<size_t>(kProviders));
  for (const auto& p : all) {
    const int version = WholeVersion(*p);
    EXPECT_GE(version, 0) << p->GetConfigStoreObjectId().ToString() << " is torn";
  }
  // The last acknowledged write is there (or a later one).
  const int last = commits - 1;
  const auto p = store->Get(ProviderId("p" + std::to_string(last % kProviders)));
  ASSERT_NE(p, nullptr);
  EXPECT_GE(WholeVersion(*p), last);
}

}  // namespace
}  // namespace ConfigStoreTest
