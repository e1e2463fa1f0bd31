// How the management services make a configuration change: validation happens on the calling
// thread; the change itself runs as one job of the key-server pool's configuration lane, so that
// no thread serving the API waits for configLock, the store or the firewall's name resolution.
// The job holds configLock for writing until it returns, its answer included; a job that does
// not get its turn within kChangeMaxWait (or meets a shutdown) is answered with the store error
// and changes nothing. Changes therefore never interleave. Work that must not hold configLock
// (generating a key) goes into the job's prepare step, which runs before the lock is taken.
#pragma once

#include "configstore/provider_config.h"
#include "mirel/error.h"
#include "state/providers.h"

#include <harlibs/log.h>
#include <harlockpp/harlockpp.h>
#include <mirel/async_result.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace Zyld::ZylApi {

// The pool's lane of configuration changes (no provider has an empty identifier).
inline constexpr const char* kConfigChangeLane = "";
inline constexpr std::chrono::seconds kChangeMaxWait{30};

// Runs a configuration change in two steps on the job's thread: prepare(result), without
// configLock, returns std::optional<P>; when it is empty, prepare has answered and nothing more
// runs. Otherwise change(prepared, result) runs with configLock held for writing. `operation` and
// `provider` name the change in the log line of a change that did not run.
template <class T, class Prepare, class Change>
void RunConfigChange(State::Providers& registry, const char* operation, const std::string& provider,
                     Mirel::AsyncResult<T> result, Prepare prepare, Change change) {
  using JobEnd = State::KeyServerPool::JobEnd;
  registry.KeyServers().Submit(
      kConfigChangeLane, kChangeMaxWait,
      [operation, provider, result, prepare = std::move(prepare),
       change = std::move(change)](JobEnd end) mutable {
        if (end != JobEnd::Ran) {
          Log_Level(kLogFailure, "%s for provider %s not run: no turn for configuration changes\n",
                    operation, provider.c_str());
          result.SetError(MakeProviderError(ProviderConfig::StoreError, {}));
          return;
        }
        auto prepared = prepare(result);
        if (!prepared) {
          return;
        }
        Har::WriteGuard config(ProviderConfig::configLock);
        change(*prepared, result);
      });
}

// A configuration change without a prepare step: change(result) under configLock.
template <class T, class Change>
void RunConfigChange(State::Providers& registry, const char* operation, const std::string& provider,
                     Mirel::AsyncResult<T> result, Change change) {
  RunConfigChange(
      registry, operation, provider, std::move(result),
      [](Mirel::AsyncResult<T>&) { return std::optional<std::monostate>(std::in_place); },
      [change = std::move(change)](std::monostate&, Mirel::AsyncResult<T>& out) mutable {
        change(out);
      });
}

}  // namespace Zyld::ZylApi
