// Service bindings. A service is declared once as a table (ServiceSpec): its identifier and, per
// operation, the identifier, a described params struct whose members are the wire parameter names
// in the order of the interface method's arguments, the result type, the interface method, the
// entitlements that grant it and the error types it may answer. From the table come both the bound
// interface (operation id → decode params, invoke the implementation, encode the result) and the
// metadata (type descriptions, authorisation). Params are decoded only when an operation is
// invoked, after the pipeline has authorised the call.
#pragma once

#include <mirel/async_result.h>
#include <mirel/codec.h>
#include <mirel/errors.h>
#include <mirel/messages.h>
#include <mirel/provider.h>
#include <mirel/typedesc.h>

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Mirel::Binding {

// One operation of a bound interface.
class BoundOperation {
 public:
  virtual ~BoundOperation() = default;
  // Decodes `params` (null when absent) and runs the operation; completes `done` exactly once.
  virtual void Invoke(const boost::json::value& params, CompletionCallback done) const = 0;
};

// A service as the provider sees it. Immutable once built, shared by all threads.
class BoundInterface {
 public:
  virtual ~BoundInterface() = default;
  virtual const std::string& ServiceId() const = 0;
  virtual const BoundOperation* FindOperation(std::string_view operationId) const = 0;
  virtual std::vector<std::string> OperationIds() const = 0;
};

using BoundInterfacePtr = std::shared_ptr<const BoundInterface>;

// A bound interface made of a small table of operations (linear search: a service has few).
class TableInterface final : public BoundInterface {
 public:
  explicit TableInterface(std::string serviceId) : serviceId_(std::move(serviceId)) {}
  void Add(std::string operationId, std::unique_ptr<BoundOperation> operation);

  const std::string& ServiceId() const override { return serviceId_; }
  const BoundOperation* FindOperation(std::string_view operationId) const override;
  std::vector<std::string> OperationIds() const override;

 private:
  std::string serviceId_;
  std::vector<std::pair<std::string, std::unique_ptr<BoundOperation>>> operations_;
};

// The metadata of one operation: what the table declares, independent of any implementation.
struct OperationMetadata {
  std::string id;
  std::vector<std::string> entitlements;
  std::vector<std::string> errors;  // error type identifiers
  // {"input": {"fields": [...]}, "output": description or null}
  boost::json::value (*describe)(Metadata::TypeRegistry&) = nullptr;
};

struct ServiceMetadata {
  std::string id;
  std::vector<OperationMetadata> operations;
};

template <class Iface>
struct OperationSpec : OperationMetadata {
  std::unique_ptr<BoundOperation> (*bind)(std::shared_ptr<Iface>,
                                          std::shared_ptr<const L10n::Localizer>) = nullptr;
};

template <class Iface>
struct ServiceSpec {
  std::string id;
  std::vector<OperationSpec<Iface>> operations;

  ServiceMetadata Metadata() const {
    ServiceMetadata metadata{id, {}};
    for (const auto& op : operations) {
      metadata.operations.push_back(op);
    }
    return metadata;
  }
};

namespace Detail {

// Decodes the params object; a missing params value counts as an empty object.
template <class Params>
bool DecodeParams(const boost::json::value& params, Params& out, Codec::DecodeError& error) {
  if (params.is_null()) {
    return Codec::Decode(boost::json::value(boost::json::object()), out, error);
  }
  if (!params.is_object()) {
    error.path = "params";
    return false;
  }
  return Codec::Decode(params, out, error);
}

template <class Iface, class Params, class R, auto Method>
class MethodOperation final : public BoundOperation {
 public:
  MethodOperation(std::shared_ptr<Iface> impl, std::shared_ptr<const L10n::Localizer> localizer)
      : impl_(std::move(impl)), localizer_(std::move(localizer)) {}

  void Invoke(const boost::json::value& params, CompletionCallback done) const override {
    Params decoded{};
    // Wiped however the call ends: the implementation has taken what it keeps by then.
    struct WipeDecoded {
      Params& params;
      ~WipeDecoded() { Codec::WipeTexts(params); }
    } wipeDecoded{decoded};
    Codec::DecodeError error;
    if (!DecodeParams(params, decoded, error)) {
      done(MethodResult::Error(InvalidParamsError(error.path.empty() ? "params" : error.path)));
      return;
    }
    auto result = MakeAsyncResult<R>(std::move(done), localizer_);
    using Members = boost::describe::describe_members<Params, boost::describe::mod_public>;
    try {
      [&]<template <class...> class L, class... D>(L<D...>) {
        ((*impl_).*Method)(std::move(decoded.*D::pointer)..., std::move(result));
      }(Members{});
    } catch (const std::exception&) {
      // An implementation that throws without completing its result is answered by the
      // result's drop: internal_server_error.
    }
  }

 private:
  std::shared_ptr<Iface> impl_;
  std::shared_ptr<const L10n::Localizer> localizer_;
};

template <class Iface, class Params, class R, auto Method>
std::unique_ptr<BoundOperation> BindMethod(std::shared_ptr<Iface> impl,
                                           std::shared_ptr<const L10n::Localizer> localizer) {
  return std::make_unique<MethodOperation<Iface, Params, R, Method>>(std::move(impl),
                                                                     std::move(localizer));
}

template <class Params, class R>
boost::json::value DescribeOperation(Metadata::TypeRegistry& registry) {
  boost::json::value output = nullptr;
  if constexpr (!std::is_void_v<R>) {
    output = Metadata::DescribeType<R>(registry);
  }
  return boost::json::object{{"input", Metadata::DescribeFields<Params>(registry)},
                             {"output", std::move(output)}};
}

}  // namespace Detail

// One row of a service table: Operation<Iface, Params, Result, &Iface::Method>("id", ...).
template <class Iface, class Params, class R, auto Method>
OperationSpec<Iface> Operation(std::string id, std::vector<std::string> entitlements,
                               std::vector<std::string> errors) {
  OperationSpec<Iface> spec;
  spec.id = std::move(id);
  spec.entitlements = std::move(entitlements);
  spec.errors = std::move(errors);
  spec.describe = &Detail::DescribeOperation<Params, R>;
  spec.bind = &Detail::BindMethod<Iface, Params, R, Method>;
  return spec;
}

// The bound interface of an implementation of the service declared by `spec`.
template <class Iface>
BoundInterfacePtr Bind(const ServiceSpec<Iface>& spec, std::shared_ptr<Iface> impl,
                       std::shared_ptr<const L10n::Localizer> localizer) {
  auto bound = std::make_shared<TableInterface>(spec.id);
  for (const auto& op : spec.operations) {
    bound->Add(op.id, op.bind(impl, localizer));
  }
  return bound;
}

}  // namespace Mirel::Binding
