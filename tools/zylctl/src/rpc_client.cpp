#include "rpc_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <optional>

namespace Zylctl {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr unsigned kHttp11 = 11;
using Body = http::basic_string_body<char, std::char_traits<char>, Har::WipingAllocator<char>>;
using Request = http::request<Body>;
constexpr std::string_view kTarget = "/api";

// Beast keeps header values in its own storage; the token is overwritten there once sent.
void WipeAuthorization(Request& request) {
  const auto it = request.find(http::field::authorization);
  if (it == request.end()) return;
  const auto value = it->value();
  Har::Cleanse(const_cast<char*>(value.data()), value.size());
}

class Exchange {
 public:
  Exchange(const Endpoint& endpoint, Request& request)
      : endpoint_(endpoint), request_(request), stream_(io_), resolver_(io_) {
    parser_.body_limit(kMaxResponseBytes);
  }

  HttpAnswer Run() {
    stream_.expires_after(endpoint_.timeout);
    resolver_.async_resolve(endpoint_.host, std::to_string(endpoint_.port),
                            [this](beast::error_code ec, const tcp::resolver::results_type& r) {
                              if (!Failed(ec, "cannot resolve " + endpoint_.host)) Connect(r);
                            });
    io_.run();
    if (!answer_.ok && answer_.error.empty()) answer_.error = "no answer";
    return std::move(answer_);
  }

 private:
  bool Failed(beast::error_code ec, const std::string& what) {
    if (!ec) return false;
    answer_.error = ec == beast::error::timeout ? what + ": timed out" : what + ": " + ec.message();
    return true;
  }

  void Connect(const tcp::resolver::results_type& results) {
    stream_.async_connect(results, [this](beast::error_code ec, const tcp::endpoint&) {
      if (!Failed(ec, "cannot connect to " + Where())) Write();
    });
  }

  void Write() {
    http::async_write(stream_, request_, [this](beast::error_code ec, size_t) {
      WipeAuthorization(request_);
      if (!Failed(ec, "cannot send to " + Where())) Read();
    });
  }

  void Read() {
    http::async_read(stream_, buffer_, parser_, [this](beast::error_code ec, size_t) {
      if (Failed(ec, "bad answer from " + Where())) return;
      auto& response = parser_.get();
      if (response.result() != http::status::ok) {
        answer_.error = "HTTP status " + std::to_string(response.result_int()) + " from " + Where();
        Har::WipeGuard wipe(response.body());
        return;
      }
      answer_.ok = true;
      answer_.body = std::move(response.body());
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    });
  }

  std::string Where() const { return endpoint_.host + ":" + std::to_string(endpoint_.port); }

  const Endpoint& endpoint_;
  Request& request_;
  asio::io_context io_;
  beast::tcp_stream stream_;
  tcp::resolver resolver_;
  beast::basic_flat_buffer<Har::WipingAllocator<char>> buffer_;
  http::response_parser<Body> parser_;
  HttpAnswer answer_;
};

}  // namespace

HttpAnswer PostRpc(const Endpoint& endpoint, std::string_view body, const Har::Secret& token) {
  Request request(http::verb::post, kTarget, kHttp11);
  request.set(http::field::host, endpoint.host);
  request.set(http::field::content_type, "application/json");
  request.set(http::field::accept, "application/json");
  request.set(http::field::user_agent, "zylctl");
  if (!token.empty()) {
    Har::Secret header("Bearer ");
    header.append(token.view());
    request.set(http::field::authorization, header.view());
  }
  request.body().assign(body);
  Har::WipeGuard wipeBody(request.body());
  request.prepare_payload();
  Exchange exchange(endpoint, request);
  HttpAnswer answer = exchange.Run();
  WipeAuthorization(request);
  return answer;
}

}  // namespace Zylctl
