// Service library: configuration, application set-up, loggers and the thread pool.
//
// Configuration: an in-memory map of keys ("a/b/c") to values, overlaid at start-up by an XML
// file whose root element is <config> and in which the key "a/b/c" is the element path
// <a><b><c>value</c></b></a>. Booleans are true/false, integers decimal.
//
// InitApp builds the one application object from a scratch configuration (the program's
// defaults) and the file; GetApp returns it. The application owns the thread pool, whose
// threads start on demand.
#pragma once

#include <harlibs/status.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Quorex::Service {

// Typed key/value store. Values set with SetInt/SetBool/SetString keep their type; values read
// from a file are text and are converted on Get. Getters return false and leave *out unchanged
// when the key is absent or its value does not have the asked type (the latter is logged at
// level 2). Thread-safe.
class ConfigValues {
 public:
  enum class Type { kText, kString, kInt, kBool };

  ConfigValues() = default;
  ConfigValues(const ConfigValues& other);
  ConfigValues& operator=(const ConfigValues& other);

  void SetString(const std::string& key, std::string value);
  void SetInt(const std::string& key, int64_t value);
  void SetBool(const std::string& key, bool value);
  // Stores text whose type is not known yet (values read from a file).
  void SetText(const std::string& key, std::string value);

  bool GetInt(const std::string& key, int64_t* out) const;
  bool GetBool(const std::string& key, bool* out) const;
  bool GetString(const std::string& key, std::string* out) const;
  bool Has(const std::string& key) const;
  // Type of the key's value; false when absent.
  bool GetType(const std::string& key, Type* out) const;
  // Every key with the given prefix, with its value as text.
  std::map<std::string, std::string> WithPrefix(const std::string& prefix) const;
  // Copies every value of other over this one's.
  void Overlay(const ConfigValues& other);

 private:
  struct Entry {
    Type type = Type::kText;
    std::string text;
  };
  void Put(const std::string& key, Type type, std::string text);
  bool Find(const std::string& key, Entry* out) const;
  mutable std::shared_mutex mutex_;
  std::map<std::string, Entry> entries_;
};

class Config {
 public:
  ConfigValues& Values() { return values_; }
  const ConfigValues& Values() const { return values_; }

 private:
  ConfigValues values_;
};

// Strict conversions used by the configuration (decimal int64 without sign '+' or spaces;
// "true"/"false").
bool ParseConfigInt(std::string_view text, int64_t* out);
bool ParseConfigBool(std::string_view text, bool* out);

// Largest configuration file accepted.
constexpr size_t kMaxConfigFileBytes = 1024 * 1024;

void CreateScratchConfig(std::shared_ptr<Config>& out);
// Parses configuration text (sourceName names it in messages) and overlays its values on
// config. Keys that config already holds as integer or boolean must parse as such. On failure
// config is unchanged and the error names the source, the fault, the element and the line.
// unknownKeys (when not null) receives, in file order, the keys config did not hold before (its
// registered defaults) other than feature switches ("features/...").
Har::Status ParseConfigText(Config& config, std::string_view text, const std::string& sourceName,
                            std::vector<std::string>* unknownKeys = nullptr);
// Reads and overlays a file; throws std::runtime_error with the text of ParseConfigText (or the
// reason the file cannot be read) on failure, leaving config unchanged.
void LoadConfigFile(Config& config, const std::string& path,
                    std::vector<std::string>* unknownKeys = nullptr);
// Registers the built-in defaults of the keys this library reads itself (see InitApp).
void SetPlatformDefaults(ConfigValues& values);
// The configuration file a program uses: the value of its environment variable when set and not
// empty, else its default path.
std::string ConfigFilePath(const char* environmentVariable, const std::string& defaultPath);

// Thread pool: ioThreads threads run the timers and dispatch; up to maxThreads workers run the
// tasks, started on demand. Enqueued tasks may occupy at most maxThreads - 1 workers (when
// maxThreads > 1), so one worker always stays available for scheduled jobs even when enqueued
// tasks run for the life of the process. Scheduled jobs go before waiting enqueued tasks.
// Identifies one scheduled job. Safe to set (ScheduleOnce) and clear (Cancel) from different
// threads.
class TimerHandle {
 public:
  TimerHandle() = default;
  TimerHandle(const TimerHandle& other) : id_(other.id_.load()) {}
  TimerHandle& operator=(const TimerHandle& other) {
    id_.store(other.id_.load());
    return *this;
  }
  bool IsSet() const { return id_.load() != 0; }

 private:
  friend class ThreadPool;
  std::atomic<uint64_t> id_{0};
};

class ThreadPool {
 public:
  ThreadPool(int ioThreads, int maxThreads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Runs task on a worker. Tasks enqueued after Shutdown are dropped.
  void Enqueue(std::function<void()> task);
  // Runs task on a worker once, delayUs microseconds from now. handle (may be null) receives a
  // handle for Cancel.
  void ScheduleOnce(std::function<void()> task, uint64_t delayUs, TimerHandle* handle);
  // True when the job was still pending and will now never run; false when it already ran,
  // is running, or the handle is unknown. Resets the handle.
  bool Cancel(TimerHandle& handle);
  // Drops pending jobs and tasks and joins the threads; waits for running tasks to return.
  void Shutdown();

  int IoThreads() const;
  int MaxThreads() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Named logger. Its current level is its own when set, else its parent's; the default logger
// follows the host log threshold.
class Logger : public std::enable_shared_from_this<Logger> {
 public:
  static std::shared_ptr<Logger> sDefaultLogger;
  static std::shared_ptr<Logger> Default() { return sDefaultLogger; }

  Logger(std::string name, std::shared_ptr<Logger> parent);
  std::shared_ptr<Logger> CreateLogger(const std::string& name);
  int CurrentLevel() const;
  void SetLevel(int level);
  const std::string& Name() const { return name_; }

 private:
  static constexpr int kInherit = -1;
  std::string name_;
  std::shared_ptr<Logger> parent_;
  std::atomic<int> level_{kInherit};
};

// Writes fmt with every "%1" replaced by arg through Log_Level when level <= the logger's
// current level (level 0 always).
void LogInternal(const std::shared_ptr<Logger>& logger, int level, const char* fmt,
                 const std::string& arg);

// Maps "error", "warning", "info", "verbose", "trivia" to 2, 3, 5, 6, 7.
bool ParseLogLevel(const std::string& name, int* out);

struct AppInfo {
  std::string name;
  std::string version;
  int64_t build = 0;
};

void SetAppInfo(const std::string& name, const std::string& version, int64_t build);
AppInfo GetAppInfo();

class App {
 public:
  App();
  ~App();
  // Blocks until Stop (a Stop before Run makes Run return at once).
  void Run();
  void Stop();
  const Config& GetConfig() const { return config_; }
  ThreadPool& GetThreadPool() { return *pool_; }

  // Set-up from a configuration (used by InitApp): host log, feature switches, audit path,
  // thread pool. A pool of other dimensions replaces the previous one (after joining it).
  void Configure(const Config& config);

 private:
  void ConfigurePool();

  Config config_;
  std::unique_ptr<ThreadPool> pool_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
};

// Sets the application up from scratch overlaid by the file at path: configuration, host log
// level and file, feature switches ("features/..."), audit path, thread pool. Below the scratch
// values lie the built-in defaults of this library's own keys ("log/level" info, "log/file" and
// "audit/path" empty, "quorex/threadPool/ioThreads" 1, ".../maxThreads" 10); the program registers
// the defaults of every other key in scratch, which also fixes the type a file value must have.
// Every key of the file that has no registered default (a feature switch aside) is logged as a
// warning: it has no effect. When the file is missing or faulty the application is set up from
// scratch alone and std::runtime_error is thrown after. Meant to be called once; a later call
// reconfigures the same application (for tests).
void InitApp(std::shared_ptr<Config> scratch, const std::string& path);
// The application; before InitApp, one set up from the built-in defaults.
App& GetApp();

}  // namespace Quorex::Service
