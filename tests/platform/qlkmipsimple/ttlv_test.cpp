// TTLV codec and KMIP message handling against the bytes exchanged with the PyKMIP peer, and the
// decoder's bounds.
#include <gtest/gtest.h>
#include <qlkmipsimple.h>

#include "golden.h"
#include "hex_util.h"
#include "kmip_messages.h"

namespace QlcTest {
namespace {

using Qlkmip::Kmip::Operation;
using Qlkmip::Ttlv::Item;
namespace Tag = Qlkmip::Tag;

Qlkmip::Kmip::Request MakeRequest(Operation op, const std::string& id) {
  Qlkmip::Kmip::Request request;
  request.operation = op;
  request.uniqueId = id;
  return request;
}

bool Decode(const std::vector<uint8_t>& bytes, Item* item, std::string* error,
            const Qlkmip::Ttlv::Limits& limits = {}) {
  return Qlkmip::Ttlv::Decode(bytes.data(), bytes.size(), limits, item, error);
}

Qlkmip::Kmip::Reply Interpret(const std::string& hex, Operation op) {
  Item item;
  std::string error;
  EXPECT_TRUE(Decode(FromHex(hex), &item, &error)) << error;
  return Qlkmip::Kmip::InterpretResponse(item, op);
}

TEST(TtlvGolden, EncoderProducesThePeersRequestBytes) {
  EXPECT_EQ(ToHex(EncodeRequest(MakeRequest(Operation::Get, "1"))), Golden::kGetRequest);
  EXPECT_EQ(ToHex(EncodeRequest(MakeRequest(Operation::Get, "999999"))), Golden::kMissingRequest);
  EXPECT_EQ(ToHex(EncodeRequest(MakeRequest(Operation::GetAttributes, "1"))),
            Golden::kAttributesRequest);
  EXPECT_EQ(ToHex(EncodeRequest(MakeRequest(Operation::DiscoverVersions, ""))),
            Golden::kDiscoverRequest);
  EXPECT_EQ(ToHex(Qlkmip::Kmip::EncodeGetWithState(MakeRequest(Operation::Get, "1"))),
            Golden::kGetWithStateRequest);
}

TEST(TtlvGolden, ResponsesDecodeAndReencodeIdentically) {
  for (const char* hex : {Golden::kGetResponse, Golden::kAttributesResponse,
                          Golden::kDiscoverResponse, Golden::kMissingResponse}) {
    Item item;
    std::string error;
    ASSERT_TRUE(Decode(FromHex(hex), &item, &error)) << error;
    EXPECT_EQ(ToHex(Qlkmip::Ttlv::Encode(item)), hex);
  }
}

TEST(TtlvGolden, ResponsesBecomeResultTrees) {
  Qlkmip::Kmip::Reply get = Interpret(Golden::kGetResponse, Operation::Get);
  ASSERT_EQ(get.status, QLC_OK) << get.explain;
  const qlc_node* key = get.tree->Follow("Symmetric_Key/Key");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(ToHex(key->bytes), Golden::kGetKey);
  EXPECT_EQ(get.tree->Follow("Symmetric_Key/Length")->integer, 256);

  Qlkmip::Kmip::Reply attributes = Interpret(Golden::kAttributesResponse, Operation::GetAttributes);
  ASSERT_EQ(attributes.status, QLC_OK) << attributes.explain;
  EXPECT_EQ(attributes.tree->Follow("Attributes/State")->integer, 2);

  Qlkmip::Kmip::Reply versions = Interpret(Golden::kDiscoverResponse, Operation::DiscoverVersions);
  ASSERT_EQ(versions.status, QLC_OK) << versions.explain;
  std::string listed;
  for (const qlc_node* v = versions.tree->Follow("Versions/"); v != nullptr; v = v->next) {
    listed += std::string(v->bytes.view()) + " ";
  }
  EXPECT_EQ(listed, "2.0 1.4 1.3 1.2 1.1 1.0 ");

  Qlkmip::Kmip::Reply missing = Interpret(Golden::kMissingResponse, Operation::Get);
  EXPECT_EQ(missing.status, QLC_KMIP_FAILURE);
  EXPECT_NE(missing.explain.find("reason 1 (Item Not Found)"), std::string::npos);
  EXPECT_NE(missing.explain.find("Could not locate object: 999999"), std::string::npos);
}

TEST(TtlvGolden, CredentialGoesIntoTheHeaderBeforeTheBatchCount) {
  Qlkmip::Kmip::Request request = MakeRequest(Operation::Get, "1");
  request.withCredential = true;
  request.username = Har::Secret("alice");
  request.password = Har::Secret("");
  Item item;
  std::string error;
  ASSERT_TRUE(Decode(ToVector(EncodeRequest(request)), &item, &error)) << error;
  const Item& header = item.children.at(0);
  ASSERT_EQ(header.children.size(), 3u);
  EXPECT_EQ(header.children[1].tag, Tag::Authentication);
  EXPECT_EQ(header.children[2].tag, Tag::BatchCount);
  const Item* credential = header.children[1].Find(Tag::Credential);
  ASSERT_NE(credential, nullptr);
  EXPECT_EQ(credential->Find(Tag::CredentialType)->number, 1);
  const Item* value = credential->Find(Tag::CredentialValue);
  EXPECT_EQ(value->Find(Tag::Username)->TextValue(), "alice");
  EXPECT_EQ(value->Find(Tag::Password)->TextValue(), "");
}

TEST(TtlvCodec, EveryTypeRoundTrips) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  Item s = Item::Struct(0x420001, {Item::Int(0x420002, -5), Item::Long(0x420003, -1LL << 40),
                                   Item::Enum(0x420004, 0xfffffffe), Item::Bool(0x420005, true),
                                   Item::Text(0x420006, "hello"), Item::Bytes(0x420007, bytes, 9),
                                   Item::Time(0x420008, 1796538439), Item::Struct(0x420009)});
  const Har::Secret encoded = Qlkmip::Ttlv::Encode(s);
  EXPECT_EQ(encoded.size() % 8, 0u);
  Item back;
  std::string error;
  ASSERT_TRUE(Decode(ToVector(encoded), &back, &error));
  ASSERT_EQ(back.children.size(), 8u);
  EXPECT_EQ(back.children[0].number, -5);
  EXPECT_EQ(back.children[1].number, -1LL << 40);
  EXPECT_EQ(back.children[2].number, 0xfffffffe);
  EXPECT_EQ(back.children[3].number, 1);
  EXPECT_EQ(back.children[4].TextValue(), "hello");
  EXPECT_EQ(back.children[5].bytes.size(), 9u);
  EXPECT_EQ(back.children[6].number, 1796538439);
  EXPECT_TRUE(back.children[7].children.empty());
}

TEST(TtlvCodec, DecoderRejectsMalformedInput) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"short header", "42007b01000000"},
      {"length past the end", "42007b01000000104200690100000000"},
      {"non-zero padding", "42006a02000000040000000100000001"},
      {"integer of 8 bytes", "42006a02000000080000000000000001"},
      {"unknown type", "42006a0b00000000"},
      {"unknown tag prefix", "99006a02000000040000000100000000"},
      {"boolean 2", "42000006000000080000000000000002"},
      {"NUL in text", "42009407000000023100000000000000"},
      {"bytes after the item", "42006a020000000400000001000000000000000000000000"},
      {"children overrun the structure", "42007b010000000842006a0200000004"},
      {"structure length not aligned", "42007b010000000442006a02000000040000000100000000"},
      {"big integer of 3 bytes", "42000004000000030102030000000000"},
      {"huge length", "42007b01fffffff8"},
  };
  for (const auto& [name, hex] : cases) {
    Item item;
    std::string error;
    EXPECT_FALSE(Decode(FromHex(hex), &item, &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
}

TEST(TtlvCodec, DecoderEnforcesDepthItemCountAndSize) {
  Item nested = Item::Int(0x420002, 1);
  for (int i = 0; i < 20; ++i) nested = Item::Struct(0x420001, {std::move(nested)});
  Item item;
  std::string error;
  EXPECT_FALSE(Decode(ToVector(Qlkmip::Ttlv::Encode(nested)), &item, &error));
  EXPECT_EQ(error, "structures nested too deeply");

  Item wide = Item::Struct(0x420001);
  for (int i = 0; i < 5000; ++i) wide.children.push_back(Item::Int(0x420002, i));
  EXPECT_FALSE(Decode(ToVector(Qlkmip::Ttlv::Encode(wide)), &item, &error));
  EXPECT_EQ(error, "too many items");

  Qlkmip::Ttlv::Limits small;
  small.maxSize = 64;
  const std::vector<uint8_t> get = FromHex(Golden::kGetResponse);
  EXPECT_FALSE(Decode(get, &item, &error, small));
  EXPECT_EQ(error, "message too large");
}

Item Response(std::pair<int, int> version, std::vector<Item> batchItems, int count = 1) {
  Item header = Item::Struct(
      Tag::ResponseHeader,
      {Item::Struct(Tag::ProtocolVersion, {Item::Int(Tag::ProtocolVersionMajor, version.first),
                                           Item::Int(Tag::ProtocolVersionMinor, version.second)}),
       Item::Int(Tag::BatchCount, count)});
  Item message = Item::Struct(Tag::ResponseMessage, {std::move(header)});
  for (Item& b : batchItems) message.children.push_back(std::move(b));
  return message;
}

Item GetItem(uint32_t format, int32_t bits, size_t keyBytes) {
  const std::vector<uint8_t> key(keyBytes, 7);
  Item block = Item::Struct(
      Tag::KeyBlock,
      {Item::Enum(Tag::KeyFormatType, format),
       Item::Struct(Tag::KeyValue, {Item::Bytes(Tag::KeyMaterial, key.data(), key.size())}),
       Item::Int(Tag::CryptographicLength, bits)});
  return Item::Struct(
      Tag::BatchItem,
      {Item::Enum(Tag::Operation, 10), Item::Enum(Tag::ResultStatus, 0),
       Item::Struct(Tag::ResponsePayload,
                    {Item::Enum(Tag::ObjectType, 2), Item::Text(Tag::UniqueIdentifier, "1"),
                     Item::Struct(Tag::SymmetricKey, {std::move(block)})})});
}

TEST(KmipResponse, MessageLevelFailureWithVersion10HeaderIsAFailureResult) {
  Item failure = Item::Struct(Tag::BatchItem,
                              {Item::Enum(Tag::ResultStatus, 1), Item::Enum(Tag::ResultReason, 4),
                               Item::Text(Tag::ResultMessage, "Error parsing request message.")});
  const auto reply = InterpretResponse(Response({1, 0}, {std::move(failure)}), Operation::Get);
  EXPECT_EQ(reply.status, QLC_KMIP_FAILURE);
  EXPECT_NE(reply.explain.find("Invalid Message"), std::string::npos) << reply.explain;
  EXPECT_NE(reply.explain.find("Error parsing request message."), std::string::npos);
}

TEST(KmipResponse, InconsistentAnswersAreBadResponses) {
  std::vector<std::pair<const char*, Item>> cases;
  cases.emplace_back("key length mismatch", Response({1, 1}, {GetItem(1, 256, 24)}));
  cases.emplace_back("not raw", Response({1, 1}, {GetItem(7, 256, 32)}));
  cases.emplace_back("two items", Response({1, 1}, {GetItem(1, 256, 32), GetItem(1, 256, 32)}, 2));
  cases.emplace_back("count mismatch", Response({1, 1}, {GetItem(1, 256, 32)}, 2));
  Item other = GetItem(1, 256, 32);
  other.children[0] = Item::Enum(Tag::Operation, 11);
  cases.emplace_back("other operation", Response({1, 1}, {std::move(other)}));
  Item noOp = GetItem(1, 256, 32);
  noOp.children.erase(noOp.children.begin());
  cases.emplace_back("success without operation", Response({1, 1}, {std::move(noOp)}));
  cases.emplace_back("request tag", Item::Struct(Tag::RequestMessage));
  for (const auto& [name, message] : cases) {
    const auto reply = InterpretResponse(message, Operation::Get);
    EXPECT_EQ(reply.status, QLC_BAD_RESPONSE) << name;
    EXPECT_FALSE(reply.explain.empty()) << name;
  }
  EXPECT_EQ(InterpretResponse(Response({1, 1}, {GetItem(1, 192, 24)}), Operation::Get).status,
            QLC_OK);
}

TEST(KmipResponse, StateMustBeAnEnumerationAndMayBeAbsent) {
  auto attributes = [](std::vector<Item> payload) {
    return Response({1, 1},
                    {Item::Struct(Tag::BatchItem,
                                  {Item::Enum(Tag::Operation, 11), Item::Enum(Tag::ResultStatus, 0),
                                   Item::Struct(Tag::ResponsePayload, std::move(payload))})});
  };
  const auto absent = InterpretResponse(attributes({Item::Text(Tag::UniqueIdentifier, "1")}),
                                        Operation::GetAttributes);
  ASSERT_EQ(absent.status, QLC_OK);
  EXPECT_NE(absent.tree->Follow("Attributes"), nullptr);
  EXPECT_EQ(absent.tree->Follow("Attributes/State"), nullptr);
  const auto textState = InterpretResponse(
      attributes({Item::Struct(Tag::Attribute, {Item::Text(Tag::AttributeName, "State"),
                                                Item::Text(Tag::AttributeValue, "2")})}),
      Operation::GetAttributes);
  EXPECT_EQ(textState.status, QLC_BAD_RESPONSE);
}

}  // namespace
}  // namespace QlcTest
