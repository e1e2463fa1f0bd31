#include "stack.h"

#include <test_wait.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#ifndef ZYLD_IT_BUILD_DIR
#error "ZYLD_IT_BUILD_DIR must name the build tree"
#endif
#ifndef ZYLD_IT_SOURCE_DIR
#error "ZYLD_IT_SOURCE_DIR must name the source tree"
#endif

namespace ZyldIt {

namespace {

constexpr auto kStopBound = std::chrono::seconds(10);
constexpr int kCommandBound = 240;  // seconds; only catches a hang

std::string StackScript() { return SourceDir() + "/scripts/lib/zyld-stack.sh"; }

std::map<std::string, std::string> ParseEnvFile(const std::string& path) {
  std::map<std::string, std::string> env;
  for (const std::string& line : TestSupport::Lines(ReadFile(path))) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return env;
}

}  // namespace

int RunCommand(const std::vector<std::string>& argv, std::string* out) {
  const TestSupport::ProcessResult r = TestSupport::RunProcess(argv, kCommandBound);
  if (out != nullptr) *out = r.out;
  return r.exitCode;
}

std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

std::string ZyldBinary() { return std::string(ZYLD_IT_BUILD_DIR) + "/apps/zyld/zyld"; }
std::string MetadataFile() { return std::string(ZYLD_IT_BUILD_DIR) + "/zyl_mirel_metadata.json"; }
std::string SourceDir() { return ZYLD_IT_SOURCE_DIR; }

std::string WriteConfig(const std::string& dir, uint16_t port, const std::string& firewallBackend) {
  const std::string path = dir + "/zyld.xml";
  std::ofstream out(path);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
      << "  <log><level>info</level><file></file></log>\n"
      << "  <configStore><path>" << dir << "/store/ovik.db</path></configStore>\n"
      << "  <audit><path>" << dir << "/audit.log</path></audit>\n"
      << "  <firewall><backend>" << firewallBackend << "</backend></firewall>\n"
      << "  <metadata><path>" << MetadataFile() << "</path></metadata>\n"
      << "  <endpoint><port>" << port << "</port></endpoint>\n"
      << "</config>\n";
  return path;
}

// --- Stack ---------------------------------------------------------------------------------------

std::unique_ptr<Stack> Stack::Up(std::string& error) {
  const std::string dir = MakeTempDir("zyld-it");
  if (dir.empty()) {
    error = "cannot create a folder under /tmp";
    return nullptr;
  }
  ::setenv("ZYLD_BUILD_DIR", ZYLD_IT_BUILD_DIR, 1);
  ::setenv("ZYLD_STACK_OWNER_PID", std::to_string(::getpid()).c_str(), 1);
  std::unique_ptr<Stack> stack(new Stack(dir));
  const auto up = TestSupport::RunProcess({"bash", StackScript(), "up", dir}, kCommandBound);
  if (up.exitCode != 0) {
    error = "zyld-stack.sh up " + dir + " failed (see " + dir + "/zyld.log): " + up.out + up.err;
    return nullptr;  // the destructor takes down what did start
  }
  stack->env_ = ParseEnvFile(dir + "/stack.env");
  return stack;
}

Stack::~Stack() {
  RunCommand({"bash", StackScript(), "down", dir_});
  if (std::getenv("ZYLD_IT_KEEP") == nullptr) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

uint16_t Stack::Port() const { return static_cast<uint16_t>(std::stoi(Env("PORT"))); }
bool Stack::DaemonAlive() const {
  return ::kill(static_cast<pid_t>(std::stoi(Env("ZYLD_PID"))), 0) == 0;
}

std::string Stack::Env(const std::string& key) const {
  auto it = env_.find(key);
  return it == env_.end() ? std::string() : it->second;
}

std::string Stack::Token(const std::string& kind,
                         const std::vector<std::string>& entitlements) const {
  std::vector<std::string> argv{"bash", StackScript(), "token", dir_, kind};
  argv.insert(argv.end(), entitlements.begin(), entitlements.end());
  std::string out;
  if (RunCommand(argv, &out) != 0) return std::string();
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool Stack::RestartDaemon(bool kill) {
  const auto restarted = TestSupport::RunProcess(
      {"bash", StackScript(), "restart", dir_, kill ? "KILL" : "TERM"}, kCommandBound);
  env_ = ParseEnvFile(dir_ + "/stack.env");
  return restarted.exitCode == 0;
}

std::vector<std::string> Stack::AuditLines() const {
  return TestSupport::Lines(ReadFile(Env("AUDIT")));
}

// --- DaemonProcess -------------------------------------------------------------------------------

DaemonProcess::DaemonProcess(const std::vector<std::string>& prefix, const std::string& config,
                             const std::string& log)
    : log_(log) {
  std::vector<std::string> argv = prefix;
  argv.push_back(ZyldBinary());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::setenv("ZYLD_CONFIG", config.c_str(), 1);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(logFd);
}

DaemonProcess::~DaemonProcess() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGTERM);
  if (!WaitExit(kStopBound)) {
    ::kill(pid_, SIGKILL);
    WaitExit(kStopBound);
  }
}

std::optional<int> DaemonProcess::WaitExit(std::chrono::milliseconds bound) {
  TestSupport::Eventually(
      [&] {
        int raw = 0;
        if (!status_ && pid_ > 0 && ::waitpid(pid_, &raw, WNOHANG) == pid_) {
          status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        }
        return status_ || pid_ <= 0;
      },
      bound, std::chrono::milliseconds(10));
  return status_;
}

bool DaemonProcess::WaitForLog(const std::string& text, std::chrono::milliseconds bound) {
  bool found = false;
  TestSupport::Eventually(
      [&] {
        found = ReadFile(log_).find(text) != std::string::npos;
        return found || WaitExit(std::chrono::milliseconds(0));
      },
      bound, std::chrono::milliseconds(20));
  return found;
}

}  // namespace ZyldIt
