// Real processes for the integration tests.
//
// Stack: the whole local stack of scripts/lib/zyld-stack.sh (PyKMIP with an Active AES-256 master
// key, a seeded configuration store, the daemon on a free loopback port) in a fresh folder under
// /tmp; taken down and removed by the destructor (kept when ZYLD_IT_KEEP is set, for debugging).
// A PyKMIP server left by a crashed test stops by itself once the test process has gone.
//
// DaemonProcess: one zyld process started directly (optionally behind a command prefix such as
// `ip netns exec NS`) with a given configuration file, output to a log file; stopped with SIGTERM
// (then SIGKILL after a bound) by the destructor unless it has already exited.
#pragma once

#include <sys/types.h>

#include <test_files.h>
#include <test_process.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZyldIt {

// Runs argv (bounded; stdin /dev/null); returns its exit status (-1 when it could not run or was
// killed) and its standard output.
int RunCommand(const std::vector<std::string>& argv, std::string* out = nullptr);

using TestSupport::ReadFile;
// A fresh folder under /tmp, or empty on failure.
std::string MakeTempDir(const std::string& prefix);

// Built binaries and files of this build tree.
std::string ZyldBinary();
std::string MetadataFile();
std::string SourceDir();

// A zyld configuration in dir/zyld.xml (store, audit and log level set; state in dir).
std::string WriteConfig(const std::string& dir, uint16_t port,
                        const std::string& firewallBackend = "none");

class Stack {
 public:
  // Starts everything; nullptr with error set when a part did not come up.
  static std::unique_ptr<Stack> Up(std::string& error);
  ~Stack();
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  uint16_t Port() const;
  bool DaemonAlive() const;
  const std::string& Dir() const { return dir_; }
  // A value of the stack's environment file (PROVIDER, KEY_ID, AUDIT, LOG, DB, ...).
  std::string Env(const std::string& key) const;

  // A fresh RS256 token: kind "attestation", or "admin" with the given entitlements.
  std::string Token(const std::string& kind,
                    const std::vector<std::string>& entitlements = {}) const;
  std::vector<std::string> AuditLines() const;
  // Stops the daemon (SIGTERM, or SIGKILL at once when kill) and starts it again on its port;
  // false when it did not come back.
  bool RestartDaemon(bool kill);

 private:
  explicit Stack(std::string dir) : dir_(std::move(dir)) {}

  std::string dir_;
  std::map<std::string, std::string> env_;
};

class DaemonProcess {
 public:
  DaemonProcess(const std::vector<std::string>& prefix, const std::string& config,
                const std::string& log);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // The exit status once the process has ended within the bound (nullopt: still running).
  std::optional<int> WaitExit(std::chrono::milliseconds bound);
  // True once the daemon's log holds the text, within the bound (false when it exited first).
  bool WaitForLog(const std::string& text, std::chrono::milliseconds bound);

 private:
  pid_t pid_ = -1;
  std::string log_;
  std::optional<int> status_;
};

}  // namespace ZyldIt
