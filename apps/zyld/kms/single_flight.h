// Zyld::Kms::SingleFlight: at most one call per key in flight. Run(key, fetch) runs fetch() when
// no call for key is in flight; otherwise it waits for the call in flight and returns a copy of
// its outcome, so every caller of one flight sees the same outcome. A flight ends when its fetch
// returns (or throws: then its waiters get a default Outcome); the next Run for that key starts a
// new one. A flight's record is shared (std::shared_ptr) by its caller and waiters and released by
// the last of them, so an Outcome holding secrets (Har::Secret) is wiped then.
//
// Locks: the map lock guards the flights in flight and is never held while fetch runs or while a
// caller waits; each flight's own lock guards its outcome. Neither is held while the other is
// taken. Safe from several threads at once; fetch must not Run the same key (it would wait on
// itself).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace Zyld::Kms {

template <class Key, class Outcome>
class SingleFlight {
 public:
  template <class Fetch>
  Outcome Run(const Key& key, Fetch&& fetch) {
    auto [flight, leads] = Join(key);
    if (!leads) {
      return flight->Wait();
    }
    Landing landing(*this, key, flight);
    flight->outcome = fetch();
    landing.Landed();
    return flight->outcome;
  }

  // How many callers share the flight for key (0 when none is in flight).
  size_t Callers(const Key& key) const {
    std::lock_guard lock(mutex_);
    const auto it = flights_.find(key);
    return it == flights_.end() ? 0 : it->second->callers;
  }

 private:
  struct Flight {
    std::mutex mutex;
    std::condition_variable landed;
    bool done = false;
    size_t callers = 1;  // guarded by the map lock
    Outcome outcome{};   // written by the leader before done, read by waiters after

    Outcome Wait() {
      std::unique_lock lock(mutex);
      landed.wait(lock, [this] { return done; });
      return outcome;
    }
  };

  // Ends the leader's flight however fetch ends: the flight leaves the map first (a later caller
  // starts afresh), then its waiters wake; a fetch that threw leaves them a default Outcome.
  class Landing {
   public:
    Landing(SingleFlight& owner, const Key& key, std::shared_ptr<Flight> flight)
        : owner_(owner), key_(key), flight_(std::move(flight)) {}
    ~Landing() {
      {
        std::lock_guard lock(owner_.mutex_);
        owner_.flights_.erase(key_);
      }
      std::lock_guard lock(flight_->mutex);
      if (!landed_) {
        flight_->outcome = Outcome{};
      }
      flight_->done = true;
      flight_->landed.notify_all();
    }
    Landing(const Landing&) = delete;
    Landing& operator=(const Landing&) = delete;
    void Landed() { landed_ = true; }

   private:
    SingleFlight& owner_;
    const Key& key_;
    std::shared_ptr<Flight> flight_;
    bool landed_ = false;
  };

  // The flight for key, and whether the caller leads it (started it).
  std::pair<std::shared_ptr<Flight>, bool> Join(const Key& key) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = flights_.try_emplace(key);
    if (inserted) {
      it->second = std::make_shared<Flight>();
    } else {
      ++it->second->callers;
    }
    return {it->second, inserted};
  }

  mutable std::mutex mutex_;
  std::map<Key, std::shared_ptr<Flight>> flights_;
};

}  // namespace Zyld::Kms
