// Api::CallInfo: what the call registrar gathers about one API call (its two name parts, the
// subject, a status) and the call's attribute map, which the audit record is built from.
// Complete stores the final status and runs the completion callback, when one is set, at most
// once. The attribute map is not owned: it belongs to the call and must outlive the CallInfo.
// One CallInfo belongs to one call; it is not shared between threads at the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace Api {

class CallInfo {
 public:
  using AttributeMap = std::map<std::string, std::string>;
  using CompletionCallback = std::function<void(CallInfo&)>;

  CallInfo(AttributeMap* attributes, CompletionCallback onComplete);

  void SetStatus(std::optional<uint32_t> status) { status_ = status; }
  void SetSecondNamePart(std::optional<std::string>&& part) { secondNamePart_ = std::move(part); }
  void SetFirstNamePart(std::optional<std::string>&& part) { firstNamePart_ = std::move(part); }
  void SetSubject(std::optional<std::string>&& subject) { subject_ = std::move(subject); }
  // Stores the status and runs the completion callback (the first time only).
  void Complete(std::optional<uint32_t> status);

  const std::optional<uint32_t>& Status() const { return status_; }
  const std::optional<std::string>& FirstNamePart() const { return firstNamePart_; }
  const std::optional<std::string>& SecondNamePart() const { return secondNamePart_; }
  const std::optional<std::string>& Subject() const { return subject_; }
  // Null when the call has none.
  AttributeMap* Attributes() const { return attributes_; }

 private:
  AttributeMap* attributes_;
  CompletionCallback onComplete_;
  std::optional<uint32_t> status_;
  std::optional<std::string> firstNamePart_;
  std::optional<std::string> secondNamePart_;
  std::optional<std::string> subject_;
};

}  // namespace Api
