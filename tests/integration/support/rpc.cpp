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

std::string ErrorTypeOf(const boost::json::value& answer) {
  const std::string type = StringAt(answer, {"error", "data", "type"});
  const std::string prefix = kErrors;
  return type.rfind(prefix, 0) == 0 ? type.substr(prefix.size()) : type;
}

int64_t ErrorCodeOf(const boost::json::value& answer) {
  const auto* o = answer.if_object();
  const auto* e = o ? o->if_contains("error") : nullptr;
  const auto* eo = e ? e->if_object() : nullptr;
  const auto* c = eo ? eo->if_contains("code") : nullptr;
  return c && c->is_int64() ? c->as_int64() : 0;
}

std::optional<std::string> Base64Decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t bits = 0;
    int pad = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      size_t v = 0;
      if (c == '=' && i + 4 == text.size() && j >= 2) {
        ++pad;
      } else if (pad != 0 || (v = alphabet.find(c)) == std::string::npos) {
        return std::nullopt;
      }
      bits = (bits << 6) | static_cast<uint32_t>(v);
    }
    out.push_back(static_cast<char>(bits >> 16));
    if (pad < 2) out.push_back(static_cast<char>((bits >> 8) & 0xff));
    if (pad < 1) out.push_back(static_cast<char>(bits & 0xff));
  }
  return out;
}

}  // namespace ZyldIt
