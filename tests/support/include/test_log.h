// Capture of the host log into a file of a test's temporary directory.
#pragma once

#include <harlibs/log.h>
#include <test_files.h>
#include <test_temp_dir.h>

#include <filesystem>
#include <string>
#include <vector>

namespace TestSupport {

// Sends the host log to dir/host.log for the life of the object (threshold 7: everything), then
// back to standard error at the default threshold.
class LogCapture {
 public:
  explicit LogCapture(const TempDir& dir, int threshold = 7) : path_(dir.File("host.log")) {
    std::filesystem::remove(path_);
    Log_Configure(threshold, path_);
  }
  ~LogCapture() { Log_Configure(5, ""); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return ReadFile(path_); }
  bool Contains(const std::string& needle) const { return Count(needle) > 0; }
  size_t Count(const std::string& needle) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
      ++n;
    return n;
  }
  // The lines written at a level, without their prefix (time, program, level, thread).
  std::vector<std::string> MessagesAt(int level) const {
    std::vector<std::string> out;
    const std::string marker = " " + std::to_string(level) + " [";
    for (const std::string& line : Lines(Text())) {
      const size_t at = line.find(marker);
      const size_t end = at == std::string::npos ? at : line.find("] ", at);
      if (end != std::string::npos) out.push_back(line.substr(end + 2));
    }
    return out;
  }

 private:
  std::string path_;
};

}  // namespace TestSupport
