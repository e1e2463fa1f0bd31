// JSON-RPC helpers for the integration tests: calls over a connection and the parts of an answer
// the tests look at. A body that is not JSON parses to a null value.
#pragma once

#include <boost/json.hpp>

#include <cstdint>

#include <string>

namespace ZyldIt {

inline constexpr const char* kGenerateKey = "com.velora.ovik.kms.key_operation.generate_key";
inline constexpr const char* kDecrypt = "com.velora.ovik.kms.key_operation.decrypt";
inline constexpr const char* kProviderGet = "com.velora.mirel.std.introspection.provider.get";

boost::json::value ParseJson(const std::string& text);

// A JSON-RPC request text.
std::string RpcBody(const std::string& method, const std::string& paramsJson = "", int id = 1);

// One call on a fresh connection to 127.0.0.1; the parsed standard answer (null when there was
// none).
boost::json::value Call(uint16_t port, const std::string& method, const std::string& params,
                        const std::string& token = "");

// "result" of a standard answer, or null.
boost::json::value ResultOf(const boost::json::value& answer);
// A string member at a path of objects ("result", "key"); "" when absent.
std::string StringAt(const boost::json::value& v, std::initializer_list<const char*> path);

}  // namespace ZyldIt
