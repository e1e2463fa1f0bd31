// Random bytes from the per-thread reserve: never the same bytes twice, in threads or across a
// fork, and requests of every size up to and past the reserve's.
#include <ironveil-common/ssl_utils.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

namespace {

using Brask::Common::SslUtils::RandomBytes;
using Bytes = std::vector<uint8_t>;

Bytes Draw(size_t n) {
  Bytes out(n);
  EXPECT_TRUE(RandomBytes(out.data(), out.size()));
  return out;
}

TEST(RandomBytes, NoDrawRepeatsAcrossSizesAndRefills) {
  std::set<Bytes> seen;
  // Sizes that straddle the reserve's refills and the direct path for large requests.
  for (int round = 0; round < 200; ++round) {
    for (size_t n : {12u, 16u, 32u, 44u, 63u, 64u, 65u, 600u}) {
      EXPECT_TRUE(seen.insert(Draw(n)).second) << "repeated draw of " << n << " bytes";
    }
  }
  EXPECT_TRUE(RandomBytes(nullptr, 0));
}

TEST(RandomBytes, ThreadsNeverShareBytes) {
  constexpr int kThreads = 4;
  constexpr int kDraws = 500;
  std::vector<std::vector<Bytes>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kDraws; ++i) drawn[t].push_back(Draw(16));
    });
  }
  for (auto& th : threads) th.join();
  std::set<Bytes> all;
  for (const auto& list : drawn) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kDraws));
}

TEST(RandomBytes, AForkedChildDrawsOtherBytesThanItsParent) {
  Draw(16);  // the reserve now holds unused bytes that the child inherits
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    const Bytes mine = Draw(32);
    const bool sent = write(fds[1], mine.data(), mine.size()) == static_cast<ssize_t>(mine.size());
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  Bytes childBytes(32);
  ASSERT_EQ(read(fds[0], childBytes.data(), childBytes.size()), 32);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(Draw(32), childBytes);
}

}  // namespace
