// Child processes for tests: one program run to its end with its output captured.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace TestSupport {

struct ProcessResult {
  int exitCode = -1;  // -1 when the process could not be started, was killed or timed out
  std::string out;
  std::string err;
};

// Runs argv (argv[0] looked up on PATH) with standard input from /dev/null and this process's
// environment with extraEnv ("NAME=value" entries) replacing or adding variables, capturing
// stdout and stderr (each at most 1 MiB); kills it after timeoutSeconds.
inline ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutSeconds = 120,
                                const std::vector<std::string>& extraEnv = {}) {
  ProcessResult result;
  int out[2], err[2];
  if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  std::vector<char*> args, env;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& e : extraEnv)
      replaced |= std::strncmp(*entry, e.c_str(), e.find('=') + 1) == 0;
    if (!replaced) env.push_back(*entry);
  }
  for (const std::string& entry : extraEnv) env.push_back(const_cast<char*>(entry.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  const bool spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (!spawned) result.err = "cannot start " + argv[0];
  // Reads both pipes until they close or the deadline passes.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool finished = spawned;
  for (int open = 2; finished && open > 0;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)) {
      finished = false;
    }
    for (int i = 0; finished && i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
      } else if (sinks[i]->size() < (1u << 20)) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (!spawned) return result;
  if (!finished) {
    kill(pid, SIGKILL);
    result.err += "\n[killed after " + std::to_string(timeoutSeconds) + " s]";
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace TestSupport
