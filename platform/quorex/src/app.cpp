// The application: configuration in effect, host log and feature set-up, thread pool, run loop.
#include <quorex/quorex.h>

#include <harlibs/audit.h>
#include <harlibs/feature.h>
#include <harlibs/log.h>
#include <harlibs/no_destructor.h>

#include <stdexcept>

namespace Quorex::Service {

namespace {

constexpr int kMaxIoThreads = 64;
constexpr int kMaxWorkers = 256;
constexpr int kDefaultIoThreads = 1;
constexpr int kDefaultMaxThreads = 10;
constexpr const char* kDefaultLogLevel = "info";

Config DefaultConfig() {
  Config config;
  SetPlatformDefaults(config.Values());
  return config;
}

void WarnUnknown(const std::vector<std::string>& keys, const std::string& path) {
  for (const std::string& key : keys) {
    Log_Level(kLogNotable, "Unknown configuration key %s in %s: ignored\n", key.c_str(),
              path.c_str());
  }
}

int ClampedInt(const ConfigValues& v, const std::string& key, int fallback, int high) {
  int64_t value = fallback;
  v.GetInt(key, &value);
  if (value < 1 || value > high) {
    Log_Level(kLogFailure, "Configuration key %s: %lld out of range 1..%d; using %d\n", key.c_str(),
              static_cast<long long>(value), high, fallback);
    return fallback;
  }
  return static_cast<int>(value);
}

void ApplyLog(const ConfigValues& v) {
  std::string levelName = kDefaultLogLevel;
  std::string file;
  v.GetString("log/level", &levelName);
  v.GetString("log/file", &file);
  int level = kLogInfo;
  if (!ParseLogLevel(levelName, &level)) {
    Log_Level(kLogFailure, "Unknown log level \"%s\"; using %s\n", levelName.c_str(),
              kDefaultLogLevel);
    level = kLogInfo;
  }
  Log_Configure(level, file);
}

void ApplyFeatures(const ConfigValues& v) {
  const std::string prefix = "features/";
  for (const auto& [key, text] : v.WithPrefix(prefix)) {
    bool on = false;
    if (v.GetBool(key, &on)) {
      FeatureList_Set(key.substr(prefix.size()), on);
    }
  }
}

void ApplyAudit(const ConfigValues& v) {
  std::string path;
  v.GetString("audit/path", &path);
  VlrAudit_Configure(path);
}

struct AppInfoStore {
  std::mutex mutex;
  AppInfo info;
};

AppInfoStore& InfoStore() {
  static AppInfoStore store;
  return store;
}

}  // namespace

// The audit log is off until the program names its file.
void SetPlatformDefaults(ConfigValues& v) {
  v.SetString("log/level", kDefaultLogLevel);
  v.SetString("log/file", "");
  v.SetString("audit/path", "");
  v.SetInt("quorex/threadPool/ioThreads", kDefaultIoThreads);
  v.SetInt("quorex/threadPool/maxThreads", kDefaultMaxThreads);
}

void SetAppInfo(const std::string& name, const std::string& version, int64_t build) {
  AppInfoStore& s = InfoStore();
  std::lock_guard lock(s.mutex);
  s.info = AppInfo{name, version, build};
  Log_SetProgramName(name);
}

AppInfo GetAppInfo() {
  AppInfoStore& s = InfoStore();
  std::lock_guard lock(s.mutex);
  return s.info;
}

App::App() : config_(DefaultConfig()) { ConfigurePool(); }

App::~App() = default;

void App::Run() {
  std::unique_lock lock(mutex_);
  stopped_.wait(lock, [this] { return stop_; });
  stop_ = false;
}

void App::Stop() {
  std::lock_guard lock(mutex_);
  stop_ = true;
  stopped_.notify_all();
}

void App::Configure(const Config& config) {
  config_ = config;
  const ConfigValues& v = config_.Values();
  ApplyLog(v);
  ApplyFeatures(v);
  ApplyAudit(v);
  ConfigurePool();
}

void App::ConfigurePool() {
  const ConfigValues& v = config_.Values();
  int ioThreads = ClampedInt(v, "quorex/threadPool/ioThreads", kDefaultIoThreads, kMaxIoThreads);
  int maxThreads = ClampedInt(v, "quorex/threadPool/maxThreads", kDefaultMaxThreads, kMaxWorkers);
  if (!pool_ || pool_->IoThreads() != ioThreads || pool_->MaxThreads() != maxThreads) {
    pool_.reset();  // joins the previous pool's threads first
    pool_ = std::make_unique<ThreadPool>(ioThreads, maxThreads);
  }
}

void InitApp(std::shared_ptr<Config> scratch, const std::string& path) {
  Config config = DefaultConfig();
  if (scratch) {
    config.Values().Overlay(scratch->Values());
  }
  std::string error;
  Config withFile = config;
  std::vector<std::string> unknownKeys;
  try {
    LoadConfigFile(withFile, path, &unknownKeys);
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  GetApp().Configure(error.empty() ? withFile : config);
  if (error.empty()) {
    WarnUnknown(unknownKeys, path);
  }
  if (!error.empty()) {
    throw std::runtime_error(error);
  }
}

App& GetApp() {
  // Never destroyed: threads of the pool may outlive main's return.
  static Har::NoDestructor<App> app;
  return *app;
}

}  // namespace Quorex::Service
