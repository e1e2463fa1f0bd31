// Feature switches, set from the "features/..." keys of the configuration.
#include <harlibs/feature.h>

#include <map>
#include <mutex>
#include <shared_mutex>

#include <harlibs/no_destructor.h>

namespace {

struct Features {
  std::shared_mutex mutex;
  std::map<std::string, bool, std::less<>> switches;
};

Features& State() {
  static Har::NoDestructor<Features> features;
  return *features;
}

}  // namespace

void FeatureState_Init() {
  Features& f = State();
  std::unique_lock lock(f.mutex);
  f.switches.clear();
}

bool FeatureList_IsEnabled(const std::string& name) {
  Features& f = State();
  std::shared_lock lock(f.mutex);
  auto it = f.switches.find(name);
  return it != f.switches.end() && it->second;
}

void FeatureList_Set(const std::string& name, bool on) {
  Features& f = State();
  std::unique_lock lock(f.mutex);
  f.switches[name] = on;
}
