#include <api/audit_context.h>

#include <harlibs/log.h>

#include <string_view>

namespace Api {

namespace {

bool IsRecordKey(std::string_view key) {
  return key == kEventIdKey || key == kSubjectKey || key == kObjectKey || key == kResultKey;
}

const std::string* Required(const AuditContext::AttributeMap& attributes, const char* key) {
  const auto it = attributes.find(key);
  return it == attributes.end() ? nullptr : &it->second;
}

}  // namespace

AuditContext::AuditContext(const AttributeMap& attributes) {
  eventId_ = Required(attributes, kEventIdKey);
  VERIFY(eventId_ != nullptr);
  subject_ = Required(attributes, kSubjectKey);
  VERIFY(subject_ != nullptr);
  object_ = Required(attributes, kObjectKey);
  VERIFY(object_ != nullptr);
  const std::string* result = Required(attributes, kResultKey);
  VERIFY(result != nullptr);
  success_ = *result == "true";
  items_.reserve(attributes.size() - 3);
  for (const auto& [name, value] : attributes) {
    if (!IsRecordKey(name)) {
      items_.push_back({name.c_str(), value.c_str()});
    }
  }
  items_.push_back({nullptr, nullptr});
}

void AuditContext::Log() const {
  VlrAudit_LogList(eventId_->c_str(), subject_->c_str(), object_->c_str(), success_, items_.data());
}

}  // namespace Api
