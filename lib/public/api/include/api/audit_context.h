// Api::AuditContext: the audit record of one API call, built from the call's attribute map.
// The map must hold "eventID", "subject", "object" and "result" (a missing one is a fatal check);
// the success flag is "result" == "true"; every other entry becomes an item, in key order, and
// the item list always ends with the null item. The record points into the map, which must
// outlive it and stay unchanged while it is used. Log() writes it with VlrAudit_LogList.
#pragma once

#include <harlibs/audit.h>

#include <map>
#include <string>
#include <vector>

namespace Api {

inline constexpr const char* kEventIdKey = "eventID";
inline constexpr const char* kSubjectKey = "subject";
inline constexpr const char* kObjectKey = "object";
inline constexpr const char* kResultKey = "result";

class AuditContext {
 public:
  using AttributeMap = std::map<std::string, std::string>;

  explicit AuditContext(const AttributeMap& attributes);

  const std::string& EventId() const { return *eventId_; }
  const std::string& Subject() const { return *subject_; }
  const std::string& Object() const { return *object_; }
  bool Success() const { return success_; }
  // The extra items followed by {nullptr, nullptr}.
  const std::vector<VlrAuditItem>& Items() const { return items_; }

  // Writes the record with VlrAudit_LogList.
  void Log() const;

 private:
  const std::string* eventId_ = nullptr;
  const std::string* subject_ = nullptr;
  const std::string* object_ = nullptr;
  bool success_ = false;
  std::vector<VlrAuditItem> items_;
};

}  // namespace Api
