// JSON-RPC 2.0 on the wire: decoding one request body into an ApiRequest and encoding a
// MethodResult as the standard answer ({"jsonrpc","id","result"|"error"}) or the clean answer (the
// bare result, or the bare error data {"type","messages"}).
//
// Decoding is bounded (body size, nesting depth) and never throws: a body that is not JSON is a
// -32700 failure, anything that is not one JSON-RPC 2.0 request object (batches, non-objects, a
// missing or non-scalar id, a wrong "jsonrpc", a method without "service.operation" form, params
// that are not an object) a -32600 failure. The failure carries the id when one could be read.
// Message texts are produced by the caller's render function (the localizer); without one, a
// message's defaultMessage is used as it is.
#pragma once

#include <mirel/provider.h>

#include <boost/json/value.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Mirel::Json {

inline constexpr int kParseErrorCode = -32700;
inline constexpr int kInvalidRequestCode = -32600;
inline constexpr int kMethodNotFoundCode = -32601;
inline constexpr int kInvalidParamsCode = -32602;
inline constexpr int kInternalErrorCode = -32603;
inline constexpr int kServerErrorCode = -32000;

struct DecodeLimits {
  size_t maxBodyBytes = 2'500'000;
  size_t maxDepth = 32;
};

// Either a request, or the error answer to send (code -32700 or -32600) with the id to echo
// (JSON null when none could be read).
struct DecodeResult {
  bool ok = false;
  ApiRequest request;
  int errorCode = 0;
  ErrorValue error;
};

DecodeResult DecodeRequest(std::string_view body, const DecodeLimits& limits = {});

enum class ResponseFormat { kStandard, kClean };

using RenderFunction = std::function<std::string(const Message&)>;

// The JSON-RPC code of an error value answered by the provider: operation_not_found -32601,
// invalid_argument carrying the invalid_params message -32602, internal_server_error -32603,
// invalid_request -32600, anything else -32000.
int ErrorCodeOf(const ErrorValue& error);

// Appends the answer to `out`. `code` overrides ErrorCodeOf for errors when non-zero (decoding
// failures pass -32700 or -32600).
void EncodeResponse(const boost::json::value& id, const MethodResult& result, ResponseFormat format,
                    const RenderFunction& render, std::string& out, int code = 0);

}  // namespace Mirel::Json
