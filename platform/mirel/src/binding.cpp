#include <mirel/binding.h>

namespace Mirel::Binding {

void TableInterface::Add(std::string operationId, std::unique_ptr<BoundOperation> operation) {
  operations_.emplace_back(std::move(operationId), std::move(operation));
}

const BoundOperation* TableInterface::FindOperation(std::string_view operationId) const {
  for (const auto& [id, operation] : operations_) {
    if (id == operationId) {
      return operation.get();
    }
  }
  return nullptr;
}

std::vector<std::string> TableInterface::OperationIds() const {
  std::vector<std::string> ids;
  ids.reserve(operations_.size());
  for (const auto& entry : operations_) {
    ids.push_back(entry.first);
  }
  return ids;
}

}  // namespace Mirel::Binding
