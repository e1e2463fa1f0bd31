// Turns a fuzz input into a command line: the program name, then one argument per NUL-separated
// run of bytes (at most maxArgs arguments in all). The argv pointers stay valid while the
// FuzzArgv lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FuzzArgv {
 public:
  FuzzArgv(const char* program, const uint8_t* data, size_t size, size_t maxArgs) : args_{program} {
    std::string current;
    for (size_t i = 0; i < size && args_.size() < maxArgs; ++i) {
      if (data[i] == 0) {
        args_.push_back(current);
        current.clear();
      } else {
        current += static_cast<char>(data[i]);
      }
    }
    args_.push_back(current);
    for (const std::string& arg : args_) {
      argv_.push_back(arg.c_str());
    }
  }
  FuzzArgv(const FuzzArgv&) = delete;
  FuzzArgv& operator=(const FuzzArgv&) = delete;

  int Argc() const { return static_cast<int>(argv_.size()); }
  const char** Argv() { return argv_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<const char*> argv_;
};
