// A writer killed with SIGKILL in the middle of a burst of provider writes leaves every provider
// whole: each listed provider reads back completely, in one of the shapes the writer committed,
// and every write the writer reported as committed is there.
#include "provider_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using namespace ZyldTest;

// Version 1 of provider i: three servers; version 2 (an update): two different servers.
ProviderSpec Version1(int i) {
  ProviderSpec spec;
  spec.id = "burst-" + std::to_string(i);
  spec.masterKeyId = "mk-" + std::to_string(i);
  spec.description = std::string(200, 'd');
  spec.timeout = i;
  spec.proxyHost = "proxy-" + std::to_string(i);
  for (int s = 0; s < 3; ++s) {
    spec.servers.push_back(
        {"s" + std::to_string(s), "host-" + std::to_string(i) + "-" + std::to_string(s), 5696 + s});
  }
  return spec;
}

Zyld::Kms::KmsInfo Expected(const ProviderSpec& spec, const std::string& password) {
  Zyld::Kms::KmsInfo info;
  info.name = spec.id;
  info.masterKeyId = spec.masterKeyId;
  info.proxyHost = spec.proxyHost;
  info.proxyPort = spec.proxyHost.empty() ? 0 : spec.proxyPort;
  info.connectionTimeout = spec.timeout.value_or(0);
  info.password.assign(password);
  for (const ServerSpec& s : spec.servers) {
    info.servers.push_back({s.name, s.host, s.port});
  }
  return info;
}

void UpdateToVersion2(int i) {
  PC::ProviderObjects objects;
  objects.providerId = "burst-" + std::to_string(i);
  if (PC::LoadProviderObjects(objects) != PC::Success) {
    _exit(3);
  }
  PC::SetMasterKeyId(objects, "mk-" + std::to_string(i) + "-v2");
  PC::SetProxyServer(objects, "", 0);
  PC::DeleteServers(objects);
  PC::AddServer(objects, "n0", "new-" + std::to_string(i), 1);
  PC::AddServer(objects, "n1", "new-" + std::to_string(i), 2);
  if (PC::CommitProviderObjects(objects) != PC::Success) {
    _exit(4);
  }
}

[[noreturn]] void Writer(int reportFd) {
  for (int i = 0;; ++i) {
    if (WriteProvider(Version1(i)) != PC::Success ||
        PC::SetCredential(Version1(i).id, "pw") != PC::Success) {
      _exit(2);
    }
    if (i > 0 && i % 3 == 0) {
      UpdateToVersion2(i - 1);
    }
    const int32_t done = i;
    if (write(reportFd, &done, sizeof done) != sizeof done) {
      _exit(5);
    }
  }
}

using CrashTest = StoreTest;

TEST_F(CrashTest, KilledWriterLeavesEveryProviderWhole) {
  // The child opens its own connection: the parent has not touched the database yet.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    Log_Configure(1, "");
    Writer(fds[1]);
  }
  close(fds[1]);
  int32_t lastReported = -1;
  for (int n = 0; n < 40; ++n) {
    int32_t value = 0;
    ASSERT_EQ(read(fds[0], &value, sizeof value), static_cast<ssize_t>(sizeof value))
        << "writer stopped early";
    lastReported = value;
  }
  // Let it run into the middle of further writes, then kill it without warning.
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  int32_t value = 0;
  while (read(fds[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
    lastReported = value;
  }
  close(fds[0]);

  std::vector<std::string> ids;
  ASSERT_EQ(PC::ListProviderIds(ids), PC::Success);
  ASSERT_GE(ids.size(), static_cast<size_t>(lastReported + 1));
  for (int i = 0; i <= lastReported; ++i) {
    EXPECT_EQ(ids[static_cast<size_t>(i)], "burst-" + std::to_string(i));
  }
  for (size_t n = 0; n < ids.size(); ++n) {
    const int i = static_cast<int>(n);
    Zyld::Kms::KmsInfo info;
    ASSERT_EQ(PC::GetKmsInfo(ids[n], info), PC::Success) << ids[n];
    ProviderSpec v1 = Version1(i);
    ProviderSpec v2 = v1;
    v2.masterKeyId += "-v2";
    v2.proxyHost.clear();
    v2.servers = {{"n0", "new-" + std::to_string(i), 1}, {"n1", "new-" + std::to_string(i), 2}};
    const bool credentialCommitted = i <= lastReported || info.password.view() == "pw";
    const std::string password = credentialCommitted ? "pw" : "";
    const bool whole = info == Expected(v1, password) || info == Expected(v2, password);
    EXPECT_TRUE(whole) << ids[n] << " master key " << info.masterKeyId << " with "
                       << info.servers.size() << " servers";
    // Updates reported as committed are there.
    if (i > 0 && (i + 1) % 3 == 0 && i + 1 <= lastReported) {
      EXPECT_EQ(info.masterKeyId, v2.masterKeyId);
    }
  }
}

}  // namespace
