// The result of an operation that can fail in an expected way: ok, or an error with a message.
//
// House rule: expected failures are returned as Har::Status (outputs stay out-parameters).
// Key-server operations keep their KmsResult plus an error text, and the configuration store's
// persistence functions keep their integer codes, as the daemon's interfaces fix them.
// Exceptions come only from the configuration store and the service library's initialisation,
// and are caught at the boundary of the operation that called them.
#pragma once

#include <string>
#include <utility>

namespace Har {

class [[nodiscard]] Status {
 public:
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  // Why the operation failed; empty when ok.
  const std::string& message() const { return message_; }

 private:
  Status() = default;
  explicit Status(std::string message) : ok_(false), message_(std::move(message)) {}

  bool ok_ = true;
  std::string message_;
};

}  // namespace Har
