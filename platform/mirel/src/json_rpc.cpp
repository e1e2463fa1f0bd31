#include <mirel/json_rpc.h>

#include <mirel/errors.h>

#include <harlibs/secure.h>
#include <harlibs/wiping_json.h>

#include <boost/json/parser.hpp>
#include <boost/json/serializer.hpp>

#include <cmath>
#include <string>
#include <utility>

namespace Mirel::Json {
namespace {

DecodeResult Failure(int code, std::string reason, boost::json::value id = nullptr) {
  DecodeResult result;
  result.errorCode = code;
  result.request.id = std::move(id);
  result.error = InvalidRequestError(std::move(reason));
  return result;
}

bool ParseJson(std::string_view body, const DecodeLimits& limits, boost::json::value& out) {
  boost::json::parse_options options;
  options.max_depth = limits.maxDepth;
  unsigned char scratch[4096];  // holds pieces of the body's texts, which can be secrets
  Har::WipeGuard wipeScratch(scratch, sizeof(scratch));
  boost::json::parser parser(Har::WipingJsonStorage(), options, scratch, sizeof(scratch));
  parser.reset(Har::WipingJsonStorage());  // the tree is wiped as it is released
  boost::system::error_code ec;
  parser.write(body.data(), body.size(), ec);
  if (ec) return false;
  out = parser.release();
  return true;
}

// A string, an integer (kept exact as int64 or uint64), or a finite number: an id that overflows
// a double (1e999) would otherwise be echoed as a non-JSON infinity.
bool IsValidId(const boost::json::value& id) {
  if (id.is_string() || id.is_int64() || id.is_uint64()) return true;
  return id.is_double() && std::isfinite(id.get_double());
}

// "service.operation", split at the last dot; both parts non-empty.
bool SplitMethod(const boost::json::value* method, ApiRequest& request) {
  if (method == nullptr || !method->is_string()) return false;
  std::string_view text = method->get_string();
  size_t dot = text.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return false;
  request.serviceId.assign(text.substr(0, dot));
  request.operationId.assign(text.substr(dot + 1));
  return true;
}

void AppendPiece(Har::Secret& out, boost::json::string_view piece) {
  out.append(std::string_view(piece.data(), piece.size()));
}

// The serializer's buffer is wiped after use: an answer can carry a clear key.
void AppendJson(Har::Secret& out, const boost::json::value& value) {
  boost::json::serializer serializer;
  serializer.reset(&value);
  char buffer[4096];
  Har::WipeGuard wipe(buffer, sizeof(buffer));
  while (!serializer.done()) AppendPiece(out, serializer.read(buffer, sizeof(buffer)));
}

void AppendJsonString(Har::Secret& out, std::string_view text) {
  boost::json::serializer serializer;
  serializer.reset(boost::json::string_view(text.data(), text.size()));
  char buffer[1024];
  while (!serializer.done()) AppendPiece(out, serializer.read(buffer, sizeof(buffer)));
}

// The error with every message's defaultMessage set to its rendered text.
ErrorValue Rendered(const ErrorValue& error, const RenderFunction& render) {
  ErrorValue out = error;
  if (!render) return out;
  for (Message& message : out.messages) {
    std::string text = render(message);
    if (!text.empty()) message.defaultMessage = std::move(text);
  }
  return out;
}

void AppendStandardError(Har::Secret& out, const ErrorValue& error, int code) {
  out.append("\"error\":{\"code\":");
  out.append(std::to_string(code));
  out.append(",\"message\":");
  AppendJsonString(out,
                   error.messages.empty() ? error.type : error.messages.front().defaultMessage);
  out.append(",\"data\":");
  AppendJson(out, ErrorData(error));
  out.push_back('}');
}

const boost::json::value& ResultValue(const MethodResult& result) {
  static const boost::json::value kNull;
  return result.value ? *result.value : kNull;
}

}  // namespace

DecodeResult DecodeRequest(std::string_view body, const DecodeLimits& limits) {
  if (body.size() > limits.maxBodyBytes)
    return Failure(kInvalidRequestCode, "the body is too long");
  boost::json::value json;
  if (!ParseJson(body, limits, json)) return Failure(kParseErrorCode, "the body is not JSON");
  if (json.is_array()) return Failure(kInvalidRequestCode, "batches are not supported");
  if (!json.is_object()) return Failure(kInvalidRequestCode, "the body is not a JSON object");
  boost::json::object& object = json.get_object();
  boost::json::value* id = object.if_contains("id");
  if (id == nullptr || !IsValidId(*id)) {
    return Failure(kInvalidRequestCode, "the id is missing or not a string or finite number");
  }
  const boost::json::value* version = object.if_contains("jsonrpc");
  if (version == nullptr || !version->is_string() || version->get_string() != "2.0") {
    return Failure(kInvalidRequestCode, "jsonrpc is not \"2.0\"", std::move(*id));
  }
  DecodeResult result;
  if (!SplitMethod(object.if_contains("method"), result.request)) {
    return Failure(kInvalidRequestCode, "the method is not \"service.operation\"", std::move(*id));
  }
  if (boost::json::value* params = object.if_contains("params")) {
    if (!params->is_object()) {
      return Failure(kInvalidRequestCode, "params is not an object", std::move(*id));
    }
    result.request.params = std::move(*params);
  }
  result.request.id = std::move(*id);
  result.ok = true;
  return result;
}

void EncodeResponse(const boost::json::value& id, const MethodResult& result, ResponseFormat format,
                    const RenderFunction& render, Har::Secret& out, int code) {
  if (format == ResponseFormat::kClean) {
    if (result.IsError()) {
      AppendJson(out, ErrorData(Rendered(*result.error, render)));
    } else {
      AppendJson(out, ResultValue(result));
    }
    return;
  }
  out.append("{\"jsonrpc\":\"2.0\",\"id\":");
  AppendJson(out, id);
  out.push_back(',');
  if (result.IsError()) {
    AppendStandardError(out, Rendered(*result.error, render),
                        code != 0 ? code : JsonRpcCode(*result.error));
  } else {
    out.append("\"result\":");
    AppendJson(out, ResultValue(result));
  }
  out.push_back('}');
}

}  // namespace Mirel::Json
