// Small helpers for the daemon's tests: the shared temporary directory and file helpers, and
// capture of the host log into a file.
#pragma once

#include <test_files.h>
#include <test_temp_dir.h>

#include <harlibs/log.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace ZyldTest {

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

// Sends the host log to a file for the life of the object (threshold 7: everything), then back
// to standard error at the default threshold.
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
  bool Contains(const std::string& needle) const {
    return Text().find(needle) != std::string::npos;
  }
  // The lines written at a level, without their prefix (time, program, level, thread).
  std::vector<std::string> MessagesAt(int level) const {
    std::vector<std::string> out;
    std::istringstream in(Text());
    std::string line;
    const std::string marker = " " + std::to_string(level) + " [";
    while (std::getline(in, line)) {
      const size_t at = line.find(marker);
      const size_t end = at == std::string::npos ? at : line.find("] ", at);
      if (end != std::string::npos) {
        out.push_back(line.substr(end + 2));
      }
    }
    return out;
  }

 private:
  std::string path_;
};

}  // namespace ZyldTest
