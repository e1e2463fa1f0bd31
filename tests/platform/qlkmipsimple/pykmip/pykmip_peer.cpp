#include "pykmip_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace PykmipTest {
namespace {

constexpr size_t kMaxCapture = 1 << 20;
constexpr int kScriptTimeoutSeconds = 90;
const char kServer[] = "/usr/bin/pykmip-server";

struct Pipe {
  int fds[2] = {-1, -1};
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
};

// Reads both pipes until they close or the deadline passes; false on time-out.
bool Drain(int outFd, int errFd, std::chrono::steady_clock::time_point deadline,
           ProcessResult& result) {
  std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
      return false;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
      } else if (sinks[i]->size() < kMaxCapture) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  return true;
}

std::string TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutSeconds,
                         const std::vector<std::string>& extraEnv) {
  ProcessResult result;
  Pipe out;
  Pipe err;
  if (argv.empty() || pipe2(out.fds, O_CLOEXEC) != 0 || pipe2(err.fds, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    env.push_back(*entry);
  }
  for (const std::string& entry : extraEnv) {
    env.push_back(const_cast<char*>(entry.c_str()));
  }
  env.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    result.err = "cannot start " + argv[0];
    return result;
  }
  close(out.fds[1]);
  close(err.fds[1]);
  out.fds[1] = err.fds[1] = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool finished = Drain(out.fds[0], err.fds[0], deadline, result);
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

bool PykmipPeer::Installed() { return access(kServer, X_OK) == 0; }

std::unique_ptr<PykmipPeer> PykmipPeer::Start(std::string& error) {
  std::string pattern = TempRoot() + "/zyld-pykmip-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    error = "mkdtemp failed";
    return nullptr;
  }
  auto peer = std::make_unique<PykmipPeer>(pattern, 0);
  ProcessResult started =
      peer->Script({"start", pattern}, {"PYKMIP_OWNER_PID=" + std::to_string(getpid())});
  int port = started.exitCode == 0 ? std::atoi(Trim(started.out).c_str()) : 0;
  if (port <= 0 || port > 65535) {
    error = "pykmip-server.sh start failed (" + std::to_string(started.exitCode) +
            "): " + started.out + started.err;
    return nullptr;
  }
  peer->port_ = static_cast<uint16_t>(port);
  return peer;
}

PykmipPeer::~PykmipPeer() {
  Script({"stop", dir_});
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

ProcessResult PykmipPeer::Script(const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) const {
  std::vector<std::string> argv{"/bin/bash", ZYLD_PYKMIP_SCRIPT};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, kScriptTimeoutSeconds, env);
}

std::string PykmipPeer::CreateKey(int bits, const std::string& state) {
  ProcessResult r = Script({"create-key", dir_, std::to_string(bits), state});
  return r.exitCode == 0 ? Trim(r.out) : std::string();
}

std::string PykmipPeer::KeyInfo(const std::string& id) {
  ProcessResult r = Script({"key-info", dir_, id});
  return r.exitCode == 0 ? Trim(r.out) : std::string();
}

int PykmipPeer::State(const std::string& id) {
  ProcessResult r = Script({"state", dir_, id});
  return r.exitCode == 0 ? std::atoi(r.out.c_str()) : -1;
}

uint16_t PykmipPeer::StartProxy() {
  ProcessResult r = Script({"proxy-start", dir_});
  int port = r.exitCode == 0 ? std::atoi(r.out.c_str()) : 0;
  return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

}  // namespace PykmipTest
