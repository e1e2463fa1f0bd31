// JSON-RPC helpers for the integration tests: calls over a connection and the parts of an answer
// the tests look at. A body that is not JSON parses to a null value.
#pragma once

#include <test_net.h>

#include <boost/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace ZyldIt {

inline constexpr const char* kGenerateKey = "com.velora.ovik.kms.key_operation.generate_key";
inline constexpr const char* kDecrypt = "com.velora.ovik.kms.key_operation.decrypt";
inline constexpr const char* kProviderGet = "com.velora.mirel.std.introspection.provider.get";

inline boost::json::value ParseJson(const std::string& text) {
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(text, ec);
  return ec ? boost::json::value() : v;
}

// A JSON-RPC request text.
inline std::string RpcBody(const std::string& method, const std::string& paramsJson = "",
                           int id = 1) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + "\"" +
         (paramsJson.empty() ? "" : R"(,"params":)" + paramsJson) + "}";
}

// One call on a fresh connection to 127.0.0.1; the parsed standard answer (null when there was
// none).
inline boost::json::value Call(uint16_t port, const std::string& method, const std::string& params,
                               const std::string& token = "") {
  const boost::asio::ip::tcp::endpoint to(boost::asio::ip::address_v4::loopback(), port);
  return ParseJson(TestSupport::BodyOf(TestSupport::PostOnce(to, RpcBody(method, params), token)));
}

// A string member at a path of objects ("result", "key"); "" when absent.
inline std::string StringAt(const boost::json::value& v, std::initializer_list<const char*> path) {
  const boost::json::value* at = &v;
  for (const char* name : path) {
    const auto* o = at->if_object();
    at = o ? o->if_contains(name) : nullptr;
    if (at == nullptr) return std::string();
  }
  const auto* s = at->if_string();
  return s ? std::string(*s) : std::string();
}

// "result" of a standard answer, or null.
inline boost::json::value ResultOf(const boost::json::value& answer) {
  const auto* o = answer.if_object();
  const auto* r = o ? o->if_contains("result") : nullptr;
  return r ? *r : boost::json::value();
}

}  // namespace ZyldIt
