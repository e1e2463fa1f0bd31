// Decodes arbitrary JSON as the params of key_operation and providers operations. A value that
// decodes must encode to JSON that decodes to the same record again (and encodes identically).
#include <zyl-bindings/services.h>

#include <boost/json/parse.hpp>

#include <cstdlib>
#include <string_view>

namespace {

namespace Kms = Com::Velora::Ovik::Kms;

template <class T>
void RoundTrip(const boost::json::value& json) {
  T value{};
  Mirel::Codec::DecodeError error;
  if (!Mirel::Codec::Decode(json, value, error)) {
    return;
  }
  const boost::json::value encoded = Mirel::Codec::Encode(value);
  T again{};
  if (!Mirel::Codec::Decode(encoded, again, error) || Mirel::Codec::Encode(again) != encoded) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) {
    return 0;
  }
  boost::system::error_code ec;
  boost::json::parse_options options;
  options.max_depth = 64;
  const boost::json::value json = boost::json::parse(
      std::string_view(reinterpret_cast<const char*>(data), size), ec, {}, options);
  if (ec) {
    return 0;
  }
  RoundTrip<Kms::KeyOperationSvc::GenerateKeyParams>(json);
  RoundTrip<Kms::KeyOperationSvc::DecryptParams>(json);
  RoundTrip<Kms::ProvidersSvc::CreateParams>(json);
  RoundTrip<Kms::ProvidersSvc::UpdateParams>(json);
  RoundTrip<Kms::ProvidersSvc::CreateSpec>(json);
  RoundTrip<Kms::RawConfigSvc::SetParams>(json);
  return 0;
}
