// Operations of the framework's own services (metadata, introspection): synchronous functions of
// a described params struct, bound as BoundOperations.
#pragma once

#include <mirel/binding.h>

#include <boost/describe.hpp>

#include <functional>
#include <memory>
#include <string>

namespace Mirel::Framework {

struct NoParams {};
BOOST_DESCRIBE_STRUCT(NoParams, (), ())

struct IdParams {
  std::string id;
};
BOOST_DESCRIBE_STRUCT(IdParams, (), (id))

struct ServiceIdParams {
  std::string serviceId;
};
BOOST_DESCRIBE_STRUCT(ServiceIdParams, (), (serviceId))

struct OperationParams {
  std::string serviceId;
  std::string operationId;
};
BOOST_DESCRIBE_STRUCT(OperationParams, (), (serviceId, operationId))

template <class P>
class FunctionOperation final : public Binding::BoundOperation {
 public:
  explicit FunctionOperation(std::function<MethodResult(const P&)> fn) : fn_(std::move(fn)) {}

  void Invoke(const boost::json::value& params, CompletionCallback done) const override {
    P decoded{};
    Codec::DecodeError error;
    if (!Binding::Detail::DecodeParams(params, decoded, error)) {
      done(MethodResult::Error(InvalidParamsError(error.path.empty() ? "params" : error.path)));
      return;
    }
    done(fn_(decoded));
  }

 private:
  std::function<MethodResult(const P&)> fn_;
};

template <class P>
std::unique_ptr<Binding::BoundOperation> MakeOperation(std::function<MethodResult(const P&)> fn) {
  return std::make_unique<FunctionOperation<P>>(std::move(fn));
}

// not_found with the framework message "The {kind} '{id}' does not exist."
MethodResult NotFound(std::string_view kind, std::string_view id);

}  // namespace Mirel::Framework
