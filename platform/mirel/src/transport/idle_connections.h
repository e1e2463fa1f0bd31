// The connections of one server that wait for the first byte of a request, oldest first. It is
// shared by the listeners (which take the oldest one out to close it when the connection cap is
// reached) and the connections (which enter when they start waiting and leave when a byte
// arrives), on different strands: every operation takes the registry's own mutex. Taking an
// entry out and leaving it are the two claims on an idle connection; exactly one of them wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace Mirel::Transport::PicoHttp {

class Connection;

class IdleConnections {
 public:
  using Ticket = uint64_t;

  // Registers a connection that starts waiting; the ticket orders it after every earlier one.
  Ticket Enter(std::weak_ptr<Connection> connection);
  // True when the entry was still there (the connection is no longer idle); false when it was
  // taken out to be closed.
  bool Leave(Ticket ticket);
  // Takes out the connection idle the longest that still exists; null when there is none.
  std::shared_ptr<Connection> TakeOldest();
  // How many connections are registered as idle.
  size_t Count();

 private:
  std::mutex mutex_;
  Ticket next_ = 0;
  std::map<Ticket, std::weak_ptr<Connection>> idle_;
};

}  // namespace Mirel::Transport::PicoHttp
