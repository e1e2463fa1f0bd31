// The KMIP behaviour of the test server, shaped like the PyKMIP peer's answers.
#include <qlkmipsimple/kmip_tags.h>

#include <ctime>

#include "test_server_state.h"

namespace KmipTest {
namespace {

using Qlkmip::Ttlv::Item;
using Qlkmip::Ttlv::Type;
namespace Tag = Qlkmip::Tag;
using Qlkmip::Kmip::Operation;

Item Version(int major, int minor) {
  return Item::Struct(Tag::ProtocolVersion, {Item::Int(Tag::ProtocolVersionMajor, major),
                                             Item::Int(Tag::ProtocolVersionMinor, minor)});
}

Item Header(std::pair<int, int> version, size_t items) {
  return Item::Struct(Tag::ResponseHeader,
                      {Version(version.first, version.second),
                       Item::Time(Tag::TimeStamp, static_cast<int64_t>(std::time(nullptr))),
                       Item::Int(Tag::BatchCount, static_cast<int32_t>(items))});
}

std::vector<uint8_t> Message(std::pair<int, int> version, std::vector<Item> batchItems) {
  Item message = Item::Struct(Tag::ResponseMessage);
  message.children.push_back(Header(version, batchItems.size()));
  for (Item& item : batchItems) message.children.push_back(std::move(item));
  const Har::Secret bytes = Qlkmip::Ttlv::Encode(message);
  return std::vector<uint8_t>(bytes.bytes(), bytes.bytes() + bytes.size());
}

Item Failure(std::optional<Operation> op, uint32_t reason, const std::string& text) {
  Item item = Item::Struct(Tag::BatchItem);
  if (op) {
    item.children.push_back(Item::Enum(Tag::Operation, static_cast<uint32_t>(*op)));
  }
  item.children.push_back(Item::Enum(Tag::ResultStatus, 1));
  item.children.push_back(Item::Enum(Tag::ResultReason, reason));
  item.children.push_back(Item::Text(Tag::ResultMessage, text));
  return item;
}

// A whole-message failure: header 1.0, one item without Operation or batch item id.
std::vector<uint8_t> MessageFailure(uint32_t reason, const std::string& text) {
  std::vector<Item> items;
  items.push_back(Failure(std::nullopt, reason, text));
  return Message({1, 0}, std::move(items));
}

Item Success(Operation op, Item payload) {
  Item item = Item::Struct(Tag::BatchItem);
  item.children.push_back(Item::Enum(Tag::Operation, static_cast<uint32_t>(op)));
  item.children.push_back(Item::Enum(Tag::ResultStatus, 0));
  item.children.push_back(std::move(payload));
  return item;
}

Item GetPayload(const std::string& id, const KeyEntry& key) {
  const int32_t bits = static_cast<int32_t>(key.material.size() * 8);
  Item value = Item::Struct(
      Tag::KeyValue, {Item::Bytes(Tag::KeyMaterial, key.material.data(), key.material.size())});
  Item block = Item::Struct(Tag::KeyBlock);
  block.children.push_back(Item::Enum(Tag::KeyFormatType, Qlkmip::Kmip::kKeyFormatRaw));
  block.children.push_back(std::move(value));
  block.children.push_back(Item::Enum(Tag::CryptographicAlgorithm, 3));
  block.children.push_back(Item::Int(Tag::CryptographicLength, bits));
  Item payload = Item::Struct(Tag::ResponsePayload);
  payload.children.push_back(Item::Enum(Tag::ObjectType, Qlkmip::Kmip::kObjectTypeSymmetricKey));
  payload.children.push_back(Item::Text(Tag::UniqueIdentifier, id));
  payload.children.push_back(Item::Struct(Tag::SymmetricKey, {std::move(block)}));
  return payload;
}

Item AttributesPayload(const std::string& id, const KeyEntry& key) {
  Item payload = Item::Struct(Tag::ResponsePayload, {Item::Text(Tag::UniqueIdentifier, id)});
  if (key.state) {
    payload.children.push_back(Item::Struct(
        Tag::Attribute,
        {Item::Text(Tag::AttributeName, "State"), Item::Enum(Tag::AttributeValue, *key.state)}));
  }
  return payload;
}

Item VersionsPayload(const AnswerConfig& config, const Item* requestPayload) {
  Item payload = Item::Struct(Tag::ResponsePayload);
  std::vector<std::pair<int, int>> asked;
  for (const Item& v : requestPayload ? requestPayload->children : std::vector<Item>{}) {
    const Item* major = v.Find(Tag::ProtocolVersionMajor);
    const Item* minor = v.Find(Tag::ProtocolVersionMinor);
    if (v.tag == Tag::ProtocolVersion && major && minor) {
      asked.emplace_back(static_cast<int>(major->number), static_cast<int>(minor->number));
    }
  }
  for (const auto& v : asked.empty() ? config.versions : asked) {
    bool supported = false;
    for (const auto& have : config.versions) supported = supported || have == v;
    if (supported) payload.children.push_back(Version(v.first, v.second));
  }
  return payload;
}

std::pair<int, int> RequestVersion(const Item& header) {
  const Item* version = header.Find(Tag::ProtocolVersion, Type::Structure);
  const Item* major = version ? version->Find(Tag::ProtocolVersionMajor) : nullptr;
  const Item* minor = version ? version->Find(Tag::ProtocolVersionMinor) : nullptr;
  if (!major || !minor) return {1, 0};
  return {static_cast<int>(major->number), static_cast<int>(minor->number)};
}

// The answer to one batch item (without its batch item id).
Item Answer(const AnswerConfig& config, Operation op, const Item* payload) {
  if (config.failure) {
    return Failure(op, config.failure->reason, config.failure->message);
  }
  if (op == Operation::DiscoverVersions) {
    return Success(op, VersionsPayload(config, payload));
  }
  if (op != Operation::Get && op != Operation::GetAttributes) {
    return Failure(op, 5, "Operation is not supported by the server.");
  }
  const Item* uid = payload ? payload->Find(Tag::UniqueIdentifier, Type::TextString) : nullptr;
  const std::string id = uid ? uid->TextValue() : "";
  const auto key = config.keys.find(id);
  if (key == config.keys.end()) {
    return Failure(op, 1, "Could not locate object: " + id);
  }
  return Success(
      op, op == Operation::Get ? GetPayload(id, key->second) : AttributesPayload(id, key->second));
}

// The batch items a request announces (its Batch Count; extra items are ignored as the peer
// does), or an empty list when the message does not parse.
std::vector<const Item*> RequestItems(const Item* request) {
  const Item* header = request ? request->Find(Tag::RequestHeader, Type::Structure) : nullptr;
  const Item* count = header ? header->Find(Tag::BatchCount, Type::Integer) : nullptr;
  if (request == nullptr || request->tag != Tag::RequestMessage || count == nullptr ||
      count->number < 1 || header->Find(Tag::ProtocolVersion, Type::Structure) == nullptr) {
    return {};
  }
  std::vector<const Item*> items;
  for (const Item& child : request->children) {
    if (child.tag != Tag::BatchItem || child.type != Type::Structure) continue;
    if (static_cast<int64_t>(items.size()) == count->number) break;
    if (child.Find(Tag::Operation, Type::Enumeration) == nullptr) return {};
    items.push_back(&child);
  }
  if (static_cast<int64_t>(items.size()) != count->number) return {};
  return items;
}

}  // namespace

std::vector<uint8_t> BuildAnswer(const AnswerConfig& config, const Item* request) {
  const std::vector<const Item*> items = RequestItems(request);
  if (items.empty()) {
    return MessageFailure(4,
                          "Error parsing request message. See server logs for more information.");
  }
  if (config.failure && config.failure->messageLevel) {
    return MessageFailure(config.failure->reason, config.failure->message);
  }
  for (const Item* item : items) {
    if (items.size() > 1 && item->Find(Tag::UniqueBatchItemId) == nullptr) {
      return MessageFailure(4, "Batch item ID is undefined.");
    }
  }
  std::vector<Item> answers;
  for (const Item* item : items) {
    const auto op = static_cast<Operation>(item->Find(Tag::Operation, Type::Enumeration)->number);
    Item answer = Answer(config, op, item->Find(Tag::RequestPayload, Type::Structure));
    if (const Item* id = item->Find(Tag::UniqueBatchItemId)) {
      answer.children.insert(answer.children.begin() + 1, *id);
    }
    const bool failed = answer.Find(Tag::ResultStatus)->number != 0;
    answers.push_back(std::move(answer));
    if (failed) break;  // the default Batch Error Continuation Option: Stop
  }
  return Message(RequestVersion(*request->Find(Tag::RequestHeader, Type::Structure)),
                 std::move(answers));
}

}  // namespace KmipTest
