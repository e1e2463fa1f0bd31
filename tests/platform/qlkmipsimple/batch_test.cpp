// Interpretation of KMIP responses. A Get travels with a State query of the same object in one
// batched message: how the answer items are matched and checked, and (against the in-process
// server) how many round trips a key fetch costs and when the kept State answer is used or dropped.
#include <gtest/gtest.h>

#include "kmip_messages.h"
#include "test_fixture.h"

namespace QlcTest {
namespace {

using Op = Qlkmip::Kmip::Operation;
using Qlkmip::Ttlv::Item;
namespace Tag = Qlkmip::Tag;

Item Id(uint8_t id) { return Item::Bytes(Tag::UniqueBatchItemId, &id, 1); }

Item GetAnswer(std::optional<uint8_t> id, uint32_t format = 1, int32_t bits = 128,
               size_t keyBytes = 16) {
  const std::vector<uint8_t> key(keyBytes, 7);
  Item block = Item::Struct(
      Tag::KeyBlock,
      {Item::Enum(Tag::KeyFormatType, format),
       Item::Struct(Tag::KeyValue, {Item::Bytes(Tag::KeyMaterial, key.data(), key.size())}),
       Item::Int(Tag::CryptographicLength, bits)});
  Item item = Item::Struct(Tag::BatchItem, {Item::Enum(Tag::Operation, 10)});
  if (id) item.children.push_back(Id(*id));
  item.children.push_back(Item::Enum(Tag::ResultStatus, 0));
  item.children.push_back(Item::Struct(
      Tag::ResponsePayload, {Item::Enum(Tag::ObjectType, 2), Item::Text(Tag::UniqueIdentifier, "1"),
                             Item::Struct(Tag::SymmetricKey, {std::move(block)})}));
  return item;
}

Item StateAnswer(std::optional<uint8_t> id, Item value = Item::Enum(Tag::AttributeValue, 3)) {
  Item item = Item::Struct(Tag::BatchItem, {Item::Enum(Tag::Operation, 11)});
  if (id) item.children.push_back(Id(*id));
  item.children.push_back(Item::Enum(Tag::ResultStatus, 0));
  item.children.push_back(Item::Struct(
      Tag::ResponsePayload,
      {Item::Text(Tag::UniqueIdentifier, "1"),
       Item::Struct(Tag::Attribute, {Item::Text(Tag::AttributeName, "State"), std::move(value)})}));
  return item;
}

Item FailedAnswer(std::optional<uint32_t> op, std::optional<uint8_t> id, uint32_t reason) {
  Item item = Item::Struct(Tag::BatchItem);
  if (op) item.children.push_back(Item::Enum(Tag::Operation, *op));
  if (id) item.children.push_back(Id(*id));
  item.children.push_back(Item::Enum(Tag::ResultStatus, 1));
  item.children.push_back(Item::Enum(Tag::ResultReason, reason));
  item.children.push_back(Item::Text(Tag::ResultMessage, "Could not locate object: 1"));
  return item;
}

Item Message(std::vector<Item> items, std::optional<int> count = std::nullopt,
             std::pair<int, int> version = {1, 1}) {
  const int announced = count.value_or(static_cast<int>(items.size()));
  Item header = Item::Struct(
      Tag::ResponseHeader,
      {Item::Struct(Tag::ProtocolVersion, {Item::Int(Tag::ProtocolVersionMajor, version.first),
                                           Item::Int(Tag::ProtocolVersionMinor, version.second)}),
       Item::Int(Tag::BatchCount, announced)});
  Item message = Item::Struct(Tag::ResponseMessage, {std::move(header)});
  for (Item& item : items) message.children.push_back(std::move(item));
  return message;
}

TEST(KmipResponse, InconsistentAnswersAreBadResponses) {
  std::vector<std::pair<const char*, Item>> cases;
  cases.emplace_back("key length mismatch", Message({GetAnswer(std::nullopt, 1, 256, 24)}));
  cases.emplace_back("not raw", Message({GetAnswer(std::nullopt, 7, 256, 32)}));
  cases.emplace_back("two items", Message({GetAnswer(std::nullopt), GetAnswer(std::nullopt)}));
  cases.emplace_back("count mismatch", Message({GetAnswer(std::nullopt)}, 2));
  Item other = GetAnswer(std::nullopt);
  other.children[0] = Item::Enum(Tag::Operation, 11);
  cases.emplace_back("other operation", Message({std::move(other)}));
  Item noOp = GetAnswer(std::nullopt);
  noOp.children.erase(noOp.children.begin());
  cases.emplace_back("success without operation", Message({std::move(noOp)}));
  for (const auto& [name, message] : cases) {
    const auto reply = InterpretResponse(message, Op::Get);
    EXPECT_EQ(reply.status, QLC_BAD_RESPONSE) << name;
    EXPECT_FALSE(reply.explain.empty()) << name;
  }
  EXPECT_EQ(InterpretResponse(Message({GetAnswer(std::nullopt, 1, 192, 24)}), Op::Get).status,
            QLC_OK);
}

TEST(KmipBatch, AnswersAreMatchedByIdInAnyOrder) {
  const auto paired = Qlkmip::Kmip::InterpretGetWithState(Message({StateAnswer(2), GetAnswer(1)}));
  ASSERT_EQ(paired.get.status, QLC_OK) << paired.get.explain;
  EXPECT_EQ(paired.get.tree->Follow("Symmetric_Key/Length")->integer, 128);
  ASSERT_TRUE(paired.state);
  ASSERT_EQ(paired.state->status, QLC_OK);
  EXPECT_EQ(paired.state->tree->Follow("Attributes/State")->integer, 3);

  // A failed State query is kept as the failure the lone query would have given.
  const auto denied =
      Qlkmip::Kmip::InterpretGetWithState(Message({GetAnswer(1), FailedAnswer(11, 2, 12)}));
  ASSERT_EQ(denied.get.status, QLC_OK);
  ASSERT_TRUE(denied.state);
  EXPECT_EQ(denied.state->status, QLC_KMIP_FAILURE);
  EXPECT_NE(denied.state->explain.find("KMIP Get Attributes failed"), std::string::npos);

  // Without an answer to the State query the Get still stands; nothing is kept.
  const auto getOnly = Qlkmip::Kmip::InterpretGetWithState(Message({GetAnswer(1)}));
  EXPECT_EQ(getOnly.get.status, QLC_OK);
  EXPECT_FALSE(getOnly.state);
}

TEST(KmipBatch, FailuresMapAsForALoneGet) {
  // The server stopped at the failed Get: one item back, with its id.
  const auto missing = Qlkmip::Kmip::InterpretGetWithState(Message({FailedAnswer(10, 1, 1)}));
  EXPECT_EQ(missing.get.status, QLC_KMIP_FAILURE);
  EXPECT_FALSE(missing.state);
  EXPECT_NE(missing.get.explain.find("reason 1 (Item Not Found): Could not locate object: 1"),
            std::string::npos)
      << missing.get.explain;

  // Message-level failures (no Operation, no id, header 1.0) read exactly as before.
  const Item messageLevel = Message({FailedAnswer(std::nullopt, std::nullopt, 4)}, 1, {1, 0});
  const auto batched = Qlkmip::Kmip::InterpretGetWithState(messageLevel);
  const auto lone = Qlkmip::Kmip::InterpretResponse(messageLevel, Op::Get);
  EXPECT_EQ(lone.status, QLC_KMIP_FAILURE);
  EXPECT_NE(lone.explain.find("reason 4 (Invalid Message)"), std::string::npos) << lone.explain;
  EXPECT_EQ(batched.get.status, lone.status);
  EXPECT_EQ(batched.get.explain, lone.explain);
  EXPECT_FALSE(batched.state);
}

TEST(KmipBatch, UnmatchableOrUnusableAnswersAreBadResponses) {
  Item textId = GetAnswer(std::nullopt);
  textId.children.insert(textId.children.begin() + 1, Item::Text(Tag::UniqueBatchItemId, "\x01"));
  std::vector<std::pair<const char*, Item>> cases;
  cases.emplace_back("unknown id", Message({GetAnswer(1), StateAnswer(3)}));
  cases.emplace_back("repeated id", Message({GetAnswer(1), StateAnswer(1)}));
  cases.emplace_back("one id missing", Message({GetAnswer(1), StateAnswer(std::nullopt)}));
  cases.emplace_back("id of another type", Message({std::move(textId), StateAnswer(2)}));
  cases.emplace_back("only the State answer", Message({StateAnswer(2)}));
  cases.emplace_back("count too small", Message({GetAnswer(1), StateAnswer(2)}, 1));
  cases.emplace_back("count too large", Message({GetAnswer(1), StateAnswer(2)}, 3));
  cases.emplace_back("three items", Message({GetAnswer(1), StateAnswer(2), StateAnswer(4)}));
  cases.emplace_back("no items", Message({}));
  cases.emplace_back("success without ids", Message({GetAnswer(std::nullopt)}));
  cases.emplace_back("State not an enumeration",
                     Message({GetAnswer(1), StateAnswer(2, Item::Text(Tag::AttributeValue, "2"))}));
  cases.emplace_back("Get id on a State answer", Message({StateAnswer(1), GetAnswer(2)}));
  cases.emplace_back("request tag", Item::Struct(Tag::RequestMessage));
  for (auto& [name, message] : cases) {
    const auto paired = Qlkmip::Kmip::InterpretGetWithState(message);
    EXPECT_EQ(paired.get.status, QLC_BAD_RESPONSE) << name;
    EXPECT_FALSE(paired.state) << name;
  }
}

class BatchSessionTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    server_->AddKey("1", std::vector<uint8_t>(32, 1), 2);
    server_->AddKey("2", std::vector<uint8_t>(16, 2), 3);
    server_->AddKey("none", std::vector<uint8_t>(16, 3), std::nullopt);
    ASSERT_EQ(qlc_ok(Connect(Spec()).get()), QLC_OK);
  }
};

TEST_F(BatchSessionTest, KeyFetchWithStateCostsOneRoundTrip) {
  EXPECT_EQ(Get("1"), QLC_OK);
  EXPECT_EQ(State("1"), 2);
  EXPECT_EQ(server_->Requests(), 1);
  EXPECT_EQ(server_->Requests(Op::Get), 1);
  EXPECT_EQ(server_->Requests(Op::GetAttributes), 1);

  // The kept answer serves once; the same query again asks the server.
  EXPECT_EQ(State("1"), 2);
  EXPECT_EQ(server_->Requests(), 2);

  // An absent State is kept as such, and so are the credential options.
  EXPECT_EQ(Get("none", "ops"), QLC_OK);
  EXPECT_EQ(State("none", "ops"), -QLC_NOT_FOUND);
  EXPECT_EQ(server_->Requests(), 3);
}

TEST_F(BatchSessionTest, OtherRequestsAfterAGetGoToTheServer) {
  EXPECT_EQ(Get("1"), QLC_OK);
  EXPECT_EQ(State("2"), 3);  // another object
  EXPECT_EQ(Get("1"), QLC_OK);
  EXPECT_EQ(State("1", "ops"), 2);  // other credential options
  EXPECT_EQ(Get("1"), QLC_OK);
  Result versions(qlc_perform(session_.get(), "Query, Versions"));
  EXPECT_EQ(qlc_ok(versions.get()), QLC_OK);
  EXPECT_EQ(State("1"), 2);  // the kept answer went with the intervening request
  EXPECT_EQ(server_->Requests(), 7);

  // A change on the server after the kept answer is seen by the next query.
  EXPECT_EQ(Get("2"), QLC_OK);
  server_->AddKey("2", std::vector<uint8_t>(16, 2), 4);
  EXPECT_EQ(State("2"), 3);
  EXPECT_EQ(State("2"), 4);
}

TEST_F(BatchSessionTest, FailedGetLeavesTheStateQueryToTheServer) {
  EXPECT_EQ(Get("404"), QLC_KMIP_FAILURE);
  EXPECT_EQ(State("404"), -QLC_KMIP_FAILURE);
  EXPECT_EQ(server_->Requests(), 2);
  EXPECT_EQ(server_->Requests(Op::GetAttributes), 2);  // sent with the Get, then alone

  server_->SetFailure(KmipTest::FailureResult{3, "Error verifying the client certificate."});
  Result refused = Perform("Get, Object, Id=%s", "1");
  EXPECT_EQ(qlc_ok(refused.get()), QLC_KMIP_FAILURE);
  EXPECT_NE(std::string(qlc_explain(refused.get())).find("reason 3"), std::string::npos);
  server_->SetFailure(std::nullopt);
  EXPECT_EQ(State("1"), 2);
  EXPECT_EQ(server_->Requests(), 4);
}

}  // namespace
}  // namespace QlcTest
