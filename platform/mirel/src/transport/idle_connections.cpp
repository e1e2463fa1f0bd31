#include "idle_connections.h"

#include <utility>

namespace Mirel::Transport::PicoHttp {

IdleConnections::Ticket IdleConnections::Enter(std::weak_ptr<Connection> connection) {
  std::lock_guard lock(mutex_);
  Ticket ticket = next_++;
  idle_.emplace(ticket, std::move(connection));
  return ticket;
}

bool IdleConnections::Leave(Ticket ticket) {
  std::lock_guard lock(mutex_);
  return idle_.erase(ticket) > 0;
}

std::shared_ptr<Connection> IdleConnections::TakeOldest() {
  std::lock_guard lock(mutex_);
  while (!idle_.empty()) {
    std::shared_ptr<Connection> oldest = idle_.begin()->second.lock();
    idle_.erase(idle_.begin());
    if (oldest) return oldest;
  }
  return nullptr;
}

size_t IdleConnections::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace Mirel::Transport::PicoHttp
