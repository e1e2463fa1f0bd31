// Errors of the configuration store.
//
// Every failure of the store that is not an expected "absent" answer is thrown as a
// ConfigStoreException whose text names the object (or database file) and the cause. Import
// reports problems with the text it was given as a list of ErrorInfo instead.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace OvikConfigStore {

class ConfigStoreException : public std::runtime_error {
 public:
  explicit ConfigStoreException(const std::string& what) : std::runtime_error(what) {}
};

// One problem found in an import text: first = where (object or member path), second = cause.
using ErrorInfo = std::pair<std::string, std::string>;

}  // namespace OvikConfigStore
