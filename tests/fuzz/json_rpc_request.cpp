// Fuzz target: JSON-RPC request decoding, and encoding an answer for whatever was decoded.
#include <mirel/json_rpc.h>

#include <boost/json/parse.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace Mirel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Json::DecodeResult decoded = Json::DecodeRequest(input);
  MethodResult result =
      decoded.ok ? MethodResult::Value(decoded.request.params) : MethodResult::Error(decoded.error);
  if (decoded.ok && (decoded.request.serviceId.empty() || decoded.request.operationId.empty()))
    std::abort();
  for (auto format : {Json::ResponseFormat::kStandard, Json::ResponseFormat::kClean}) {
    Har::Secret out;
    Json::EncodeResponse(decoded.request.id, result, format, nullptr, out, decoded.errorCode);
    boost::system::error_code ec;
    (void)boost::json::parse(out.view(), ec);
    if (ec) std::abort();  // every answer is valid JSON
  }
  return 0;
}
