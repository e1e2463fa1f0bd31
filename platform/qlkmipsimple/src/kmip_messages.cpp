#include "kmip_messages.h"

#include <qlkmipsimple.h>

#include <algorithm>
#include <array>
#include <vector>

namespace Qlkmip::Kmip {
namespace {

using Ttlv::Item;
using Ttlv::Type;

// Unique Batch Item IDs of the two items of a Get sent with its State query.
constexpr std::array<uint8_t, 1> kGetItemId = {0x01};
constexpr std::array<uint8_t, 1> kStateItemId = {0x02};

Item ProtocolVersion(int major, int minor) {
  return Item::Struct(Tag::ProtocolVersion, {Item::Int(Tag::ProtocolVersionMajor, major),
                                             Item::Int(Tag::ProtocolVersionMinor, minor)});
}

Item Credential(const Request& request) {
  Item value = Item::Struct(Tag::CredentialValue);
  value.children.push_back(Item::Text(Tag::Username, request.username.view()));
  value.children.push_back(Item::Text(Tag::Password, request.password.view()));
  Item credential = Item::Struct(Tag::Credential);
  credential.children.push_back(Item::Enum(Tag::CredentialType, kCredentialUsernamePassword));
  credential.children.push_back(std::move(value));
  return Item::Struct(Tag::Authentication, {std::move(credential)});
}

Item Payload(const Request& request) {
  Item payload = Item::Struct(Tag::RequestPayload);
  if (request.operation != Operation::DiscoverVersions) {
    payload.children.push_back(Item::Text(Tag::UniqueIdentifier, request.uniqueId));
  }
  if (request.operation == Operation::GetAttributes) {
    payload.children.push_back(Item::Text(Tag::AttributeName, "State"));
  }
  return payload;
}

const char* ReasonName(int64_t reason) {
  switch (reason) {
    case 1:
      return "Item Not Found";
    case 2:
      return "Response Too Large";
    case 3:
      return "Authentication Not Successful";
    case 4:
      return "Invalid Message";
    case 5:
      return "Operation Not Supported";
    case 6:
      return "Missing Data";
    case 7:
      return "Invalid Field";
    case 8:
      return "Feature Not Supported";
    case 9:
      return "Operation Canceled By Requester";
    case 10:
      return "Cryptographic Failure";
    case 11:
      return "Illegal Operation";
    case 12:
      return "Permission Denied";
    case 13:
      return "Object Archived";
    case 14:
      return "Index Out of Bounds";
    case 15:
      return "Application Namespace Not Supported";
    case 16:
      return "Key Format Type Not Supported";
    case 17:
      return "Key Compression Type Not Supported";
    case 0x100:
      return "General Failure";
    default:
      return "Unknown Reason";
  }
}

Reply Bad(std::string what) {
  Reply reply;
  reply.status = QLC_BAD_RESPONSE;
  reply.explain = "Malformed KMIP response: " + std::move(what);
  return reply;
}

Reply Failure(const Item& batchItem, Operation operation, int64_t resultStatus) {
  Reply reply;
  reply.status = QLC_KMIP_FAILURE;
  reply.explain = std::string("KMIP ") + OperationName(operation) + " failed: result status " +
                  std::to_string(resultStatus);
  if (const Item* reason = batchItem.Find(Tag::ResultReason, Type::Enumeration)) {
    reply.explain +=
        ", reason " + std::to_string(reason->number) + " (" + ReasonName(reason->number) + ")";
  }
  if (const Item* message = batchItem.Find(Tag::ResultMessage, Type::TextString)) {
    reply.explain += ": " + message->TextValue();
  }
  return reply;
}

Reply SymmetricKey(const Item* payload) {
  const Item* objectType = payload->Find(Tag::ObjectType, Type::Enumeration);
  if (objectType == nullptr || objectType->number != kObjectTypeSymmetricKey) {
    return Bad("the object is not a symmetric key");
  }
  const Item* key = payload->Find(Tag::SymmetricKey, Type::Structure);
  const Item* block = key ? key->Find(Tag::KeyBlock, Type::Structure) : nullptr;
  if (block == nullptr) {
    return Bad("no key block");
  }
  const Item* format = block->Find(Tag::KeyFormatType, Type::Enumeration);
  if (format == nullptr || format->number != kKeyFormatRaw) {
    return Bad("key format is not Raw");
  }
  const Item* value = block->Find(Tag::KeyValue, Type::Structure);
  const Item* material = value ? value->Find(Tag::KeyMaterial, Type::ByteString) : nullptr;
  if (material == nullptr || block->Find(Tag::KeyWrappingData) != nullptr) {
    return Bad("no plain key material");
  }
  const Item* length = block->Find(Tag::CryptographicLength, Type::Integer);
  if (length == nullptr || length->number != static_cast<int64_t>(material->bytes.size()) * 8) {
    return Bad("Cryptographic Length does not match the key material of " +
               std::to_string(material->bytes.size()) + " bytes");
  }
  Reply reply;
  reply.tree = qlc_node::Group("");
  qlc_node* node = reply.tree->Add(qlc_node::Group("Symmetric_Key"));
  node->Add(qlc_node::Bytes("Key", material->bytes.bytes(), material->bytes.size()));
  node->Add(qlc_node::Integer("Length", length->number));
  if (const Item* algorithm = block->Find(Tag::CryptographicAlgorithm, Type::Enumeration)) {
    node->Add(qlc_node::Integer("Algorithm", algorithm->number));
  }
  return reply;
}

Reply Attributes(const Item* payload) {
  Reply reply;
  reply.tree = qlc_node::Group("");
  qlc_node* node = reply.tree->Add(qlc_node::Group("Attributes"));
  for (const Item& attribute : payload->children) {
    if (attribute.tag != Tag::Attribute) {
      continue;
    }
    const Item* name = attribute.Find(Tag::AttributeName, Type::TextString);
    if (name == nullptr || name->TextValue() != "State") {
      continue;
    }
    const Item* value = attribute.Find(Tag::AttributeValue, Type::Enumeration);
    if (value == nullptr) {
      return Bad("State is not an enumeration");
    }
    if (node->children.empty()) {
      node->Add(qlc_node::Integer("State", value->number));
    }
  }
  return reply;
}

Reply Versions(const Item* payload) {
  Reply reply;
  reply.tree = qlc_node::Group("");
  std::unique_ptr<qlc_node> versions = qlc_node::Group("Versions");
  for (const Item& version : payload->children) {
    if (version.tag != Tag::ProtocolVersion) {
      continue;
    }
    const Item* major = version.Find(Tag::ProtocolVersionMajor, Type::Integer);
    const Item* minor = version.Find(Tag::ProtocolVersionMinor, Type::Integer);
    if (major == nullptr || minor == nullptr) {
      return Bad("incomplete protocol version");
    }
    versions->Add(qlc_node::Text(
        "Version", std::to_string(major->number) + "." + std::to_string(minor->number)));
  }
  if (!versions->children.empty()) {
    reply.tree->Add(std::move(versions));
  }
  return reply;
}

Reply Success(const Item& batchItem, Operation operation) {
  const Item* payload = batchItem.Find(Tag::ResponsePayload, Type::Structure);
  if (operation == Operation::DiscoverVersions) {
    const Item empty = Item::Struct(Tag::ResponsePayload);
    return Versions(payload != nullptr ? payload : &empty);
  }
  if (payload == nullptr) {
    return Bad("no response payload");
  }
  return operation == Operation::Get ? SymmetricKey(payload) : Attributes(payload);
}

Reply InterpretItem(const Item& batchItem, Operation operation) {
  const Item* status = batchItem.Find(Tag::ResultStatus, Type::Enumeration);
  if (status == nullptr) {
    return Bad("no result status");
  }
  const Item* echoed = batchItem.Find(Tag::Operation);
  if (echoed != nullptr &&
      (echoed->type != Type::Enumeration || echoed->number != static_cast<int64_t>(operation))) {
    return Bad("response to another operation");
  }
  if (status->number != kResultSuccess) {
    return Failure(batchItem, operation, status->number);
  }
  if (echoed == nullptr) {
    return Bad("successful batch item without operation");
  }
  return Success(batchItem, operation);
}

// Collects the batch items of MESSAGE and its header's Batch Count; returns what makes the
// message unusable, or nullptr.
const char* ResponseItems(const Item& message, int64_t* count, std::vector<const Item*>* items) {
  if (message.tag != Tag::ResponseMessage || message.type != Type::Structure) {
    return "not a response message";
  }
  const Item* header = message.Find(Tag::ResponseHeader, Type::Structure);
  const Item* batchCount = header ? header->Find(Tag::BatchCount, Type::Integer) : nullptr;
  if (batchCount == nullptr || header->Find(Tag::ProtocolVersion, Type::Structure) == nullptr) {
    return "incomplete response header";
  }
  for (const Item& child : message.children) {
    if (child.tag == Tag::BatchItem && child.type == Type::Structure) {
      items->push_back(&child);
    }
  }
  *count = batchCount->number;
  return nullptr;
}

bool IsId(const Item& id, const std::array<uint8_t, 1>& expected) {
  return id.bytes.size() == expected.size() &&
         std::equal(expected.begin(), expected.end(), id.bytes.bytes());
}

// Sorts the answers of a Get-with-State batch by their IDs; returns what does not match.
const char* MatchItems(const std::vector<const Item*>& items, const Item** getItem,
                       const Item** stateItem) {
  for (const Item* item : items) {
    const Item* id = item->Find(Tag::UniqueBatchItemId, Type::ByteString);
    const Item** slot = id == nullptr             ? nullptr
                        : IsId(*id, kGetItemId)   ? getItem
                        : IsId(*id, kStateItemId) ? stateItem
                                                  : nullptr;
    if (slot == nullptr || *slot != nullptr) {
      return "unknown, missing or repeated Unique Batch Item ID";
    }
    *slot = item;
  }
  return *getItem == nullptr ? "no answer to the Get batch item" : nullptr;
}

Item BatchItem(Operation operation, Item payload, const std::array<uint8_t, 1>* id) {
  Item item = Item::Struct(Tag::BatchItem);
  item.children.push_back(Item::Enum(Tag::Operation, static_cast<uint32_t>(operation)));
  if (id != nullptr) {
    item.children.push_back(Item::Bytes(Tag::UniqueBatchItemId, id->data(), id->size()));
  }
  item.children.push_back(std::move(payload));
  return item;
}

Har::Secret EncodeMessage(const Request& request, std::vector<Item> items) {
  Item header = Item::Struct(Tag::RequestHeader, {ProtocolVersion(1, 1)});
  if (request.withCredential) {
    header.children.push_back(Credential(request));
  }
  header.children.push_back(Item::Int(Tag::BatchCount, static_cast<int32_t>(items.size())));
  Item message = Item::Struct(Tag::RequestMessage);
  message.children.push_back(std::move(header));
  for (Item& item : items) {
    message.children.push_back(std::move(item));
  }
  return Ttlv::Encode(message);
}

}  // namespace

const char* OperationName(Operation operation) {
  switch (operation) {
    case Operation::Get:
      return "Get";
    case Operation::GetAttributes:
      return "Get Attributes";
    case Operation::DiscoverVersions:
      return "Discover Versions";
  }
  return "?";
}

Har::Secret EncodeRequest(const Request& request) {
  std::vector<Item> items;
  items.push_back(BatchItem(request.operation, Payload(request), nullptr));
  return EncodeMessage(request, std::move(items));
}

Har::Secret EncodeGetWithState(const Request& get) {
  Request attributes;
  attributes.operation = Operation::GetAttributes;
  attributes.uniqueId = get.uniqueId;
  std::vector<Item> items;
  items.push_back(BatchItem(Operation::Get, Payload(get), &kGetItemId));
  items.push_back(BatchItem(Operation::GetAttributes, Payload(attributes), &kStateItemId));
  return EncodeMessage(get, std::move(items));
}

Reply InterpretResponse(const Item& message, Operation operation) {
  std::vector<const Item*> items;
  int64_t count = 0;
  if (const char* unusable = ResponseItems(message, &count, &items)) {
    return Bad(unusable);
  }
  if (items.size() != 1 || count != 1) {
    return Bad("expected exactly one batch item");
  }
  return InterpretItem(*items.front(), operation);
}

PairedReply InterpretGetWithState(const Item& message) {
  PairedReply out;
  std::vector<const Item*> items;
  int64_t count = 0;
  if (const char* unusable = ResponseItems(message, &count, &items)) {
    out.get = Bad(unusable);
    return out;
  }
  if (items.empty() || items.size() > 2 || count != static_cast<int64_t>(items.size())) {
    out.get = Bad("batch count does not match the batch items");
    return out;
  }
  if (items.size() == 1 && items.front()->Find(Tag::UniqueBatchItemId) == nullptr) {
    // Message-level failures (unparsable request, refused client, ...) carry no batch item id.
    const Item* status = items.front()->Find(Tag::ResultStatus, Type::Enumeration);
    out.get = status != nullptr && status->number != kResultSuccess
                  ? InterpretItem(*items.front(), Operation::Get)
                  : Bad("batch item without a Unique Batch Item ID");
    return out;
  }
  const Item* getItem = nullptr;
  const Item* stateItem = nullptr;
  if (const char* unmatched = MatchItems(items, &getItem, &stateItem)) {
    out.get = Bad(unmatched);
    return out;
  }
  out.get = InterpretItem(*getItem, Operation::Get);
  if (out.get.status == QLC_BAD_RESPONSE || stateItem == nullptr) {
    return out;
  }
  Reply state = InterpretItem(*stateItem, Operation::GetAttributes);
  if (state.status == QLC_BAD_RESPONSE) {
    out.get = std::move(state);
    return out;
  }
  out.state = std::move(state);
  return out;
}

}  // namespace Qlkmip::Kmip
