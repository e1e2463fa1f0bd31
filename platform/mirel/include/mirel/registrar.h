// The call registrar: a pipeline stage that lets an observer see every call start and end. The
// CallInfo of a call names it (first name part = service id, second = operation id); at the end it
// also holds the subject (the "username" of the authentication data, when any) and whether the call
// succeeded. `attributes` points at the call context's attribute map (extra audit items). The
// registrar must outlive the calls it has seen start.
#pragma once

#include <mirel/provider.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace Mirel {

struct CallInfo {
  std::string firstNamePart;
  std::string secondNamePart;
  std::optional<std::string> subject;
  std::optional<std::string> errorType;
  bool success = false;
  std::map<std::string, std::string>* attributes = nullptr;
};

class CallRegistrarBase : public ApiProvider {
 public:
  explicit CallRegistrarBase(ApiProviderPtr inner);
  void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request, CompletionCallback done) final;

 protected:
  // Called on the invoking thread before the inner stages run.
  virtual void NotifyOnInvoke(CallInfo& info) = 0;
  // Called on the completing thread before the answer goes out.
  virtual void NotifyOnComplete(CallInfo& info) = 0;

 private:
  ApiProviderPtr inner_;
};

}  // namespace Mirel
