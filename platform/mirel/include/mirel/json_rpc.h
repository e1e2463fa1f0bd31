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

#include <harlibs/secure.h>

#include <boost/json/value.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Mirel::Json {

inline constexpr int kParseErrorCode = -32700;
inline constexpr int kInvalidRequestCode = -32600;

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

// Appends the answer to `out` (an answer can carry a clear key). An error's code is
// Mirel::JsonRpcCode of it unless `code` is non-zero (decoding failures pass -32700 or -32600); its
// "message" is the rendered text of the first message, or the error type when it has none.
void EncodeResponse(const boost::json::value& id, const MethodResult& result, ResponseFormat format,
                    const RenderFunction& render, Har::Secret& out, int code = 0);

}  // namespace Mirel::Json
