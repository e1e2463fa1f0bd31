// Fuzz target: configuration file text. Typed keys make the type checks run too, and the keys
// without a default are collected as unknown.
#include <quorex/quorex.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Quorex::Service::Config config;
  auto& v = config.Values();
  v.SetInt("quorex/threadPool/maxThreads", 10);
  v.SetBool("caching", true);
  v.SetString("log/level", "info");
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> unknownKeys;
  if (Quorex::Service::ParseConfigText(config, text, "fuzz.xml", &unknownKeys)) {
    int64_t n = 0;
    bool b = false;
    std::string s;
    v.GetInt("quorex/threadPool/maxThreads", &n);
    v.GetBool("caching", &b);
    v.GetString("log/level", &s);
  }
  return 0;
}
