// Test support: a PyKMIP server started by scripts/pykmip/pykmip-server.sh in a fresh temporary
// folder.
//
// PykmipPeer::Start runs `pykmip-server.sh start`; the destructor stops the server (and its
// proxy) and removes the folder. Should the test process die first, the script's watcher stops
// the server (the folder then stays behind). Key helpers go through the script, i.e. through
// PyKMIP's own client, so tests can compare what the code under test reads with what PyKMIP
// reports.
#pragma once

#include <gtest/gtest.h>
#include <test_files.h>
#include <test_process.h>
#include <test_temp_dir.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace PykmipTest {

using TestSupport::ProcessResult;
using TestSupport::ReadFile;
using TestSupport::RunProcess;

// Runs scripts/pykmip/pykmip-server.sh with ARGS (and extra environment entries), bounded.
ProcessResult Script(const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {});

class PykmipPeer {
 public:
  // True when /usr/bin/pykmip-server exists.
  static bool Installed();
  // Starts a server; nullptr with error set (script output included) on failure.
  static std::unique_ptr<PykmipPeer> Start(std::string& error);
  ~PykmipPeer();
  PykmipPeer(const PykmipPeer&) = delete;
  PykmipPeer& operator=(const PykmipPeer&) = delete;

  uint16_t Port() const { return port_; }
  // A file of the server folder (ca.crt, server.crt, client.crt, client.key, client2.crt, ...).
  std::string Path(const std::string& file) const { return dir_.File(file); }
  std::string File(const std::string& file) const { return ReadFile(Path(file)); }

  // AES key of BITS bits in STATE (pre-active|active|deactivated|compromised); empty on failure.
  std::string CreateKey(int bits, const std::string& state);
  // "BITS SHA256HEX" as PyKMIP's client reads the key; empty on failure.
  std::string KeyInfo(const std::string& id);
  // Starts the loopback CONNECT proxy admitting only this server's port; 0 on failure.
  uint16_t StartProxy();

 private:
  PykmipPeer() = default;

  TestSupport::TempDir dir_;
  uint16_t port_ = 0;
};

// A test suite sharing one PyKMIP server (peer_), started before its first test and stopped after
// its last; every test skips when PyKMIP is not installed and fails when the server did not start.
class PykmipSuite : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (PykmipPeer::Installed()) {
      peer_ = PykmipPeer::Start(startError_);
    }
  }
  static void TearDownTestSuite() { peer_.reset(); }

  void SetUp() override {
    if (!PykmipPeer::Installed()) {
      GTEST_SKIP() << "/usr/bin/pykmip-server is not installed";
    }
    ASSERT_NE(peer_, nullptr) << startError_;
  }

  static inline std::unique_ptr<PykmipPeer> peer_;
  static inline std::string startError_;
};

}  // namespace PykmipTest
