#include "rpc.h"

#include <test_net.h>

namespace ZyldIt {

boost::json::value ParseJson(const std::string& text) {
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(text, ec);
  return ec ? boost::json::value() : v;
}

std::string RpcBody(const std::string& method, const std::string& paramsJson, int id) {
  std::string body =
      R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + "\"";
  if (!paramsJson.empty()) body += R"(,"params":)" + paramsJson;
  return body + "}";
}

boost::json::value Call(uint16_t port, const std::string& method, const std::string& params,
                        const std::string& token) {
  const boost::asio::ip::tcp::endpoint to(boost::asio::ip::address_v4::loopback(), port);
  return ParseJson(TestSupport::BodyOf(TestSupport::PostOnce(to, RpcBody(method, params), token)));
}

boost::json::value ResultOf(const boost::json::value& answer) {
  const auto* o = answer.if_object();
  const auto* r = o ? o->if_contains("result") : nullptr;
  return r ? *r : boost::json::value();
}

std::string StringAt(const boost::json::value& v, std::initializer_list<const char*> path) {
  const boost::json::value* at = &v;
  for (const char* name : path) {
    const auto* o = at->if_object();
    at = o ? o->if_contains(name) : nullptr;
    if (at == nullptr) return std::string();
  }
  const auto* s = at->if_string();
  return s ? std::string(*s) : std::string();
}

}  // namespace ZyldIt
