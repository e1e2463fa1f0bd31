#include "pykmip_peer.h"

#include <unistd.h>

#include <cstdlib>

namespace PykmipTest {
namespace {

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// The output of a successful run, trimmed; empty on failure.
std::string OutputOf(const ProcessResult& r) { return r.exitCode == 0 ? Trim(r.out) : ""; }

// A port printed by the script, or 0.
uint16_t PortOf(const ProcessResult& r) {
  const int port = std::atoi(OutputOf(r).c_str());
  return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

}  // namespace

ProcessResult Script(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv{"/bin/bash", ZYLD_PYKMIP_SCRIPT};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, 90, env);
}

bool PykmipPeer::Installed() { return access("/usr/bin/pykmip-server", X_OK) == 0; }

std::unique_ptr<PykmipPeer> PykmipPeer::Start(std::string& error) {
  std::unique_ptr<PykmipPeer> peer(new PykmipPeer);
  const ProcessResult started =
      Script({"start", peer->dir_.Path()}, {"PYKMIP_OWNER_PID=" + std::to_string(getpid())});
  peer->port_ = PortOf(started);
  if (peer->port_ == 0) {
    error = "pykmip-server.sh start failed (" + std::to_string(started.exitCode) +
            "): " + started.out + started.err;
    return nullptr;
  }
  return peer;
}

PykmipPeer::~PykmipPeer() { Script({"stop", dir_.Path()}); }

std::string PykmipPeer::CreateKey(int bits, const std::string& state) {
  return OutputOf(Script({"create-key", dir_.Path(), std::to_string(bits), state}));
}

std::string PykmipPeer::KeyInfo(const std::string& id) {
  return OutputOf(Script({"key-info", dir_.Path(), id}));
}

uint16_t PykmipPeer::StartProxy() { return PortOf(Script({"proxy-start", dir_.Path()})); }

}  // namespace PykmipTest
