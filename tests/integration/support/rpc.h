// JSON-RPC helpers for the integration tests: calls over a connection, the parts of an answer the
// tests look at (a body that is not JSON parses to a null value) and the providers service's
// parameter texts.
#pragma once

#include <test_net.h>

#include <boost/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace ZyldIt {

inline constexpr const char* kGenerateKey = "com.velora.ovik.kms.key_operation.generate_key";
inline constexpr const char* kDecrypt = "com.velora.ovik.kms.key_operation.decrypt";
inline constexpr const char* kProviderGet = "com.velora.mirel.std.introspection.provider.get";
inline constexpr const char* kProviders = "com.velora.ovik.kms.providers.";
inline constexpr const char* kErrors = "com.velora.mirel.std.errors.";

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

inline std::string Op(const std::string& name) { return kProviders + name; }

inline std::string ErrorType(const boost::json::value& answer) {
  return StringAt(answer, {"error", "data", "type"});
}

// A create spec: servers by host name (named after them) and an optional proxy.
inline std::string CreateParams(const std::string& id, const std::vector<std::string>& hosts,
                                const std::string& proxy = {}) {
  boost::json::array servers;
  for (const std::string& host : hosts) {
    servers.push_back({{"name", "n-" + host}, {"address", {{"hostname", host}, {"port", 5696}}}});
  }
  boost::json::object keyServer{{"type", "KMIP"}, {"kmipServer", {{"servers", servers}}}};
  if (!proxy.empty()) keyServer["proxyServer"] = {{"hostname", proxy}};
  return boost::json::serialize(boost::json::object{
      {"spec", {{"provider", id}, {"masterKeyId", "mk-" + id}, {"keyServer", keyServer}}}});
}

inline std::string IdParams(const std::string& id) {
  return boost::json::serialize(boost::json::object{{"provider", id}});
}

}  // namespace ZyldIt
