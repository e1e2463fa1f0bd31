// Named loggers over the host log.
#include <quorex/quorex.h>

#include <harlibs/log.h>

namespace Quorex::Service {

std::shared_ptr<Logger> Logger::sDefaultLogger = std::make_shared<Logger>("default", nullptr);

Logger::Logger(std::string name, std::shared_ptr<Logger> parent)
    : name_(std::move(name)), parent_(std::move(parent)) {}

std::shared_ptr<Logger> Logger::CreateLogger(const std::string& name) {
  return std::make_shared<Logger>(name, shared_from_this());
}

int Logger::CurrentLevel() const {
  int own = level_.load(std::memory_order_relaxed);
  if (own != kInherit) {
    return own;
  }
  return parent_ ? parent_->CurrentLevel() : Log_Threshold();
}

void Logger::SetLevel(int level) { level_.store(level < 0 ? kInherit : level); }

void LogInternal(const std::shared_ptr<Logger>& logger, int level, const char* fmt,
                 const std::string& arg) {
  int current = logger ? logger->CurrentLevel() : Log_Threshold();
  if ((level > 0 && level > current) || fmt == nullptr) {
    return;
  }
  std::string text;
  for (const char* p = fmt; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '1') {
      text += arg;
      ++p;
    } else {
      text += *p;
    }
  }
  Log_Level(level, "%s", text.c_str());
}

bool ParseLogLevel(const std::string& name, int* out) {
  static const std::pair<const char*, int> kLevels[] = {
      {"error", 2}, {"warning", 3}, {"info", 5}, {"verbose", 6}, {"trivia", 7}};
  for (const auto& [levelName, value] : kLevels) {
    if (name == levelName) {
      *out = value;
      return true;
    }
  }
  return false;
}

}  // namespace Quorex::Service
