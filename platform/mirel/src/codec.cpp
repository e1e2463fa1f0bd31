#include <mirel/codec.h>
#include <mirel/messages.h>

#include <harlibs/base64.h>

namespace Mirel::Codec {

std::string EncodeBase64(const std::vector<uint8_t>& bytes) {
  std::string text(Base64_EncodedLength(bytes.size()), '\0');
  size_t length = 0;
  if (!Base64_Encode(bytes.data(), bytes.size(), text.data(), text.size(), &length)) {
    return {};
  }
  text.resize(length);
  return text;
}

bool DecodeBase64(std::string_view text, std::vector<uint8_t>& out) {
  out.resize(Base64_DecodedLength(text.data(), text.size()));
  size_t length = 0;
  if (!Base64_Decode(text.data(), text.size(), out.data(), out.size(), &length)) {
    out.clear();
    return false;
  }
  out.resize(length);
  return true;
}

boost::json::value EncodeMessage(const Message& message, const EncodeOptions& options) {
  boost::json::object args;
  for (const auto& [name, value] : message.args) {
    args.emplace(name, value);
  }
  std::string text =
      options.localizer != nullptr ? options.localizer->Render(message) : message.defaultMessage;
  return boost::json::object{
      {"id", message.id}, {"defaultMessage", std::move(text)}, {"args", std::move(args)}};
}

void WipeJsonTexts(boost::json::value& value) {
  // A stack, not recursion: the tree's depth is the input's.
  std::vector<boost::json::value*> pending{&value};
  while (!pending.empty()) {
    boost::json::value& item = *pending.back();
    pending.pop_back();
    if (auto* text = item.if_string()) {
      Har::Cleanse(text->data(), text->size());
    } else if (auto* array = item.if_array()) {
      for (auto& element : *array) pending.push_back(&element);
    } else if (auto* object = item.if_object()) {
      for (auto& member : *object) pending.push_back(&member.value());
    }
  }
}

namespace Detail {
namespace {

void Prepend(DecodeError& error, std::string segment) {
  if (!error.path.empty() && error.path.front() != '[') {
    segment.push_back('.');
  }
  error.path.insert(0, segment);
}

}  // namespace

void PrependMember(DecodeError& error, std::string_view member) {
  Prepend(error, std::string(member));
}

void PrependIndex(DecodeError& error, size_t index) {
  Prepend(error, "[" + std::to_string(index) + "]");
}

bool Fail(DecodeError& error, const char* reason) {
  error.path.clear();
  error.reason = reason;
  return false;
}

}  // namespace Detail
}  // namespace Mirel::Codec
