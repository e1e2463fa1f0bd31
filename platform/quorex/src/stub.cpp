// Temporary bodies; replaced by the real implementation.
#include <quorex/quorex.h>
#include <quorex/system.h>

#include <harlibs/log.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace Quorex::Service {

ConfigValues::ConfigValues(const ConfigValues& other) {
  std::shared_lock lock(other.mutex_);
  entries_ = other.entries_;
}
ConfigValues& ConfigValues::operator=(const ConfigValues& other) {
  if (this != &other) {
    auto copy = other.entries_;
    std::unique_lock lock(mutex_);
    entries_ = std::move(copy);
  }
  return *this;
}
void ConfigValues::SetString(const std::string& key, std::string value) {
  std::unique_lock lock(mutex_);
  entries_[key] = Entry{Type::kString, std::move(value)};
}
void ConfigValues::SetInt(const std::string& key, int64_t value) {
  std::unique_lock lock(mutex_);
  entries_[key] = Entry{Type::kInt, std::to_string(value)};
}
void ConfigValues::SetBool(const std::string& key, bool value) {
  std::unique_lock lock(mutex_);
  entries_[key] = Entry{Type::kBool, value ? "true" : "false"};
}
void ConfigValues::SetText(const std::string& key, std::string value) {
  std::unique_lock lock(mutex_);
  entries_[key] = Entry{Type::kText, std::move(value)};
}
bool ConfigValues::GetInt(const std::string& key, int64_t* out) const {
  std::shared_lock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  *out = std::strtoll(it->second.text.c_str(), nullptr, 10);
  return true;
}
bool ConfigValues::GetBool(const std::string& key, bool* out) const {
  std::shared_lock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  *out = it->second.text == "true";
  return true;
}
bool ConfigValues::GetString(const std::string& key, std::string* out) const {
  std::shared_lock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  *out = it->second.text;
  return true;
}
bool ConfigValues::Has(const std::string& key) const {
  std::shared_lock lock(mutex_);
  return entries_.count(key) != 0;
}
bool ConfigValues::GetType(const std::string& key, Type* out) const {
  std::shared_lock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  *out = it->second.type;
  return true;
}
std::map<std::string, std::string> ConfigValues::WithPrefix(const std::string&) const { return {}; }

bool ParseConfigInt(std::string_view, int64_t*) { return false; }
bool ParseConfigBool(std::string_view, bool*) { return false; }
void CreateScratchConfig(std::shared_ptr<Config>& out) { out = std::make_shared<Config>(); }
bool ParseConfigText(Config&, std::string_view, const std::string&, std::string*) { return true; }
void LoadConfigFile(Config&, const std::string&) {}
std::string DefaultConfigPath() { return "/etc/velora/cpservices/zyld/config.xml"; }

class ThreadPool::Impl {};
ThreadPool::ThreadPool(int, int) {}
ThreadPool::~ThreadPool() = default;
void ThreadPool::Enqueue(std::function<void()> task) { task(); }
void ThreadPool::ScheduleOnce(std::function<void()>, uint64_t, TimerHandle*) {}
bool ThreadPool::Cancel(TimerHandle&) { return false; }
void ThreadPool::Shutdown() {}
int ThreadPool::IoThreads() const { return 1; }
int ThreadPool::MaxThreads() const { return 10; }

std::shared_ptr<Logger> Logger::sDefaultLogger = std::make_shared<Logger>("default", nullptr);
Logger::Logger(std::string name, std::shared_ptr<Logger> parent)
    : name_(std::move(name)), parent_(std::move(parent)) {}
std::shared_ptr<Logger> Logger::CreateLogger(const std::string& name) {
  return std::make_shared<Logger>(name, shared_from_this());
}
int Logger::CurrentLevel() const { return Log_Threshold(); }
void Logger::SetLevel(int level) { level_ = level; }
void LogInternal(const std::shared_ptr<Logger>&, int level, const char*, const std::string& arg) {
  Log_Level(level, "%s", arg.c_str());
}
bool ParseLogLevel(const std::string&, int*) { return false; }

namespace {
AppInfo gInfo;
}
void SetAppInfo(const std::string& name, const std::string& version, int64_t build) {
  gInfo = AppInfo{name, version, build};
}
const AppInfo& GetAppInfo() { return gInfo; }

App::App() : pool_(std::make_unique<ThreadPool>(1, 10)) {}
App::~App() = default;
void App::Run() {
  std::unique_lock lock(mutex_);
  stopped_.wait(lock, [this] { return stop_; });
}
void App::Stop() {
  std::lock_guard lock(mutex_);
  stop_ = true;
  stopped_.notify_all();
}
void App::Configure(const Config& config) { config_ = config; }
void InitApp(std::shared_ptr<Config> scratch, const std::string&) { GetApp().Configure(*scratch); }
App& GetApp() {
  static App app;
  return app;
}

}  // namespace Quorex::Service

namespace Quorex::System {
void QuickExit(int status) { _exit(status); }
}  // namespace Quorex::System
