#include <mirel/transport/server_config.h>

#include <sstream>

namespace Mirel::Transport::PicoHttp {

ErrorHeaderExtractor MirelErrorHeaderExtractor() {
  return [](const ErrorValue& error, Headers& out) { out.emplace_back("mirel-error", error.type); };
}

void SetNoDelay(boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;
  socket.set_option(boost::asio::ip::tcp::no_delay(true), ec);
}

std::string DurationToString(std::chrono::nanoseconds duration) {
  using namespace std::chrono;
  int64_t ns = duration.count();
  if (ns < 1000) return std::to_string(ns) + " nanoseconds";
  if (ns < 1'000'000) return std::to_string(ns / 1000) + " microseconds";
  if (ns < 1'000'000'000) return std::to_string(ns / 1'000'000) + " milliseconds";
  int64_t seconds = duration_cast<std::chrono::seconds>(duration).count();
  if (seconds < 60) return std::to_string(seconds) + " seconds";
  std::string text = std::to_string(seconds / 60) + " minutes";
  if (seconds % 60 != 0) text += " and " + std::to_string(seconds % 60) + " seconds";
  return text;
}

std::string EndpointToString(const boost::asio::ip::tcp::endpoint& endpoint) {
  std::ostringstream out;
  out << endpoint;
  return out.str();
}

std::string ToString(const ServerConfig& config) {
  std::string text = "ServerConfig{";
  if (config.explicitEndpoints) {
    text += "endpoint4:" + EndpointToString(config.endpoint4);
    text += ";endpoint6:" + EndpointToString(config.endpoint6);
  } else {
    text += "port:" + std::to_string(config.port);
  }
  if (!config.protocolHandlerSpec.localizer) text += ";Localizer not set";
  text += ";readTimeout:" + DurationToString(config.readTimeout);
  text += ";writeTimeout:" + DurationToString(config.writeTimeout);
  text += ";httpBodySizeLimitInBytes:" + std::to_string(config.httpBodySizeLimitInBytes);
  text += ";ProtocolHandlerSpec::extractors ";
  const auto& extractors = config.protocolHandlerSpec.extractors;
  text += extractors ? "count:" + std::to_string(extractors->size()) : std::string("not set");
  text += "}";
  return text;
}

}  // namespace Mirel::Transport::PicoHttp
