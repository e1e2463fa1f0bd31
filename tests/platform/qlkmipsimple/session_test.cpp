// The client against the in-process server over real TLS: commands, result trees, failure
// results and the C interface's reading and ownership rules.
#include <gtest/gtest.h>
#include <test_wipes.h>

#include <atomic>
#include <thread>

#include "test_fixture.h"

namespace QlcTest {
namespace {

using Qlkmip::Ttlv::Item;
namespace Tag = Qlkmip::Tag;

class SessionTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    Result connected = Connect(Spec());
    ASSERT_EQ(qlc_ok(connected.get()), QLC_OK) << qlc_explain(connected.get());
  }

  std::vector<std::string> Versions(int* status) {
    Result result(qlc_perform(session_.get(), "Query, Versions"));
    *status = qlc_ok(result.get());
    std::vector<std::string> out;
    if (qlc_find("Versions", result.get()) == nullptr) return out;
    for (const qlc_node* n = qlc_find("Versions/", result.get()); n; n = qlc_next(n)) {
      char* text = nullptr;
      EXPECT_EQ(qlc_value_of(nullptr, n, "%s", &text), QLC_OK);
      out.emplace_back(text);
      qlc_free(text);
    }
    return out;
  }
};

TEST_F(SessionTest, StatesComeBackAsSentIncludingUnknownValuesAndAbsence) {
  const std::pair<const char*, uint32_t> states[] = {{"1", 1}, {"2", 2},  {"5", 5},
                                                     {"6", 6}, {"9", 99}, {"big", 0x80000001u}};
  for (const auto& [id, value] : states) server_->AddKey(id, std::vector<uint8_t>(16, 1), value);
  for (const auto& [id, value] : states) EXPECT_EQ(State(id), static_cast<int>(value)) << id;
  server_->AddKey("none", std::vector<uint8_t>(16, 1), std::nullopt);
  Result result = Perform("Get, Attributes, Id=%s, Names=State", "none");
  ASSERT_EQ(qlc_ok(result.get()), QLC_OK);
  int state = -7;
  EXPECT_EQ(qlc_value_of("Attributes/State", result.get(), "d", &state), QLC_NOT_FOUND);
  EXPECT_EQ(state, -7);
  EXPECT_NE(std::string(qlc_explain(result.get())).find("Attributes/State"), std::string::npos);
}

TEST_F(SessionTest, VersionsListedInServerOrderAndAbsentWhenEmpty) {
  int status = -1;
  EXPECT_EQ(Versions(&status),
            (std::vector<std::string>{"2.0", "1.4", "1.3", "1.2", "1.1", "1.0"}));
  EXPECT_EQ(status, QLC_OK);
  server_->SetVersions({{1, 0}, {2, 0}});
  EXPECT_EQ(Versions(&status), (std::vector<std::string>{"1.0", "2.0"}));
  server_->SetVersions({});
  EXPECT_TRUE(Versions(&status).empty());
  EXPECT_EQ(status, QLC_OK);
}

TEST_F(SessionTest, CredentialOptionsAddUsernameAndPassword) {
  server_->AddKey("1", std::vector<uint8_t>(32, 9));
  Result result(qlc_perform(session_.get(),
                            "Get, Object, Id=%s, Options={Authentication={User=%s, Password=%s}}",
                            "1", "ops, {user}", ""));
  ASSERT_EQ(qlc_ok(result.get()), QLC_OK) << qlc_explain(result.get());
  const std::vector<uint8_t> sent = server_->LastRequest();
  Item request;
  ASSERT_TRUE(Qlkmip::Ttlv::Decode(sent.data(), sent.size(), {}, &request));
  const Item* auth = request.Find(Tag::RequestHeader)->Find(Tag::Authentication);
  ASSERT_NE(auth, nullptr);
  const Item* value = auth->Find(Tag::Credential)->Find(Tag::CredentialValue);
  EXPECT_EQ(value->Find(Tag::Username)->TextValue(), "ops, {user}");
  EXPECT_EQ(value->Find(Tag::Password)->TextValue(), "");
  EXPECT_EQ(request.Find(Tag::RequestHeader)->Find(Tag::TimeStamp), nullptr);
}

TEST_F(SessionTest, ValuesAreReadOnlyWithTheMatchingFormat) {
  server_->AddKey("1", std::vector<uint8_t>(16, 5));
  Result result = Perform("Get, Object, Id=%s", "1");
  ASSERT_EQ(qlc_ok(result.get()), QLC_OK);
  int number = 0;
  unsigned char* bytes = nullptr;
  int32_t length = 0;
  EXPECT_EQ(qlc_value_of("Symmetric_Key/Key", result.get(), "d", &number), QLC_NOT_FOUND);
  EXPECT_EQ(qlc_value_of("Symmetric_Key/Key", result.get(), "x", &number), QLC_BAD_ARGUMENT);
  EXPECT_EQ(qlc_value_of("Symmetric_Key/Nothing", result.get(), "bs", &bytes, &length),
            QLC_NOT_FOUND);
  EXPECT_EQ(qlc_value_of("Symmetric_Key/Length", result.get(), "d", &number), QLC_OK);
  EXPECT_EQ(number, 128);
  const qlc_node* key = qlc_find("Symmetric_Key/Key", result.get());
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(qlc_value_of(nullptr, key, "bs", &bytes, &length), QLC_OK);
  EXPECT_EQ(length, 16);
  qlc_free(bytes);
  const qlc_node* group = qlc_find("Symmetric_Key", result.get());
  EXPECT_EQ(qlc_value_of("Key", group, "bs", &bytes, &length), QLC_OK);
  qlc_free(bytes);
  EXPECT_EQ(qlc_find("Symmetric_Key/Key/", result.get()), nullptr);
  EXPECT_EQ(qlc_value_of("x", nullptr, "d", &number), QLC_BAD_ARGUMENT);
}

TEST_F(SessionTest, ValueOwnerWipesTheKeyInPlaceBeforeTheLibraryFreesIt) {
  server_->AddKey("1", std::vector<uint8_t>(16, 5));
  Result result = Perform("Get, Object, Id=%s", "1");
  unsigned char* bytes = nullptr;
  int32_t length = 0;
  ASSERT_EQ(qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &bytes, &length), QLC_OK);
  // The server thread may wipe its own buffers meanwhile.
  TestSupport::WipeRecorder recorder;
  Qlkmip::QlcValue(bytes, static_cast<size_t>(length)).Reset();
  EXPECT_TRUE(recorder.Saw([&](const auto& w) { return w.data == bytes && w.size == 16; }));
}

TEST_F(SessionTest, MalformedCommandsAreRefusedWithoutTraffic) {
  const char* commands[] = {"Get, Object, Id=",
                            "Get, Object",
                            "Get, Attributes, Id=%s",
                            "Get, Attributes, Id=%s, Names=Name",
                            "Query, Versions, Extra",
                            "Destroy, Id=%s",
                            "Get, Object, Id=%s, Options={Authentication={"
                            "User=%s}}"};
  for (const char* command : commands) {
    Result result(qlc_perform(session_.get(), command, "1", "u", "p"));
    EXPECT_EQ(qlc_ok(result.get()), QLC_BAD_COMMAND) << command;
  }
  Result nullArg(qlc_perform(session_.get(), "Get, Object, Id=%s", static_cast<char*>(nullptr)));
  EXPECT_EQ(qlc_ok(nullArg.get()), QLC_BAD_COMMAND);
  const std::string longId(5000, 'x');
  Result tooLong(qlc_perform(session_.get(), "Get, Object, Id=%s", longId.c_str()));
  EXPECT_EQ(qlc_ok(tooLong.get()), QLC_BAD_COMMAND);
  Result literal(qlc_perform(session_.get(), "Get, Object, Id=77"));
  EXPECT_EQ(qlc_ok(literal.get()), QLC_KMIP_FAILURE);  // sent: the literal id is unknown
  EXPECT_EQ(server_->Requests(), 1);
  Result noSession(qlc_perform(nullptr, "Query, Versions"));
  EXPECT_EQ(qlc_ok(noSession.get()), QLC_BAD_ARGUMENT);
}

TEST_F(ServerTest, SessionsOnSeveralThreadsAreIndependent) {
  server_->AddKey("1", std::vector<uint8_t>(32, 0x5a));
  const std::string spec = Spec();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      qlc_session* raw = nullptr;
      Result connected(qlc_connect_key_manager(&raw, spec.c_str()));
      Session session(raw);
      for (int i = 0; i < 10 && qlc_ok(connected.get()) == QLC_OK; ++i) {
        Result got(qlc_perform(session.get(), "Get, Object, Id=%s", "1"));
        unsigned char* key = nullptr;
        int32_t length = 0;
        if (qlc_value_of("Symmetric_Key/Key", got.get(), "bs", &key, &length) == QLC_OK &&
            length == 32 && key[31] == 0x5a) {
          ++good;
        }
        qlc_free(key);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good, 40);
  EXPECT_EQ(server_->Connections(), 4);
}

TEST(QlcApi, NullHandlesAreHandled) {
  EXPECT_EQ(qlc_ok(nullptr), QLC_NO_MEMORY);
  EXPECT_STRNE(qlc_explain(nullptr), "");
  qlc_release(nullptr);
  qlc_free(nullptr);
  qlc_free_credentials(nullptr);
  qlc_disconnect_key_manager(nullptr);
  EXPECT_EQ(qlc_next(nullptr), nullptr);
  EXPECT_EQ(qlc_find("a", nullptr), nullptr);
  Result result(qlc_connect_key_manager(nullptr, "x"));
  EXPECT_EQ(qlc_ok(result.get()), QLC_BAD_ARGUMENT);
  qlc_session* session = nullptr;
  Result noSpec(qlc_connect_key_manager(&session, nullptr));
  EXPECT_EQ(qlc_ok(noSpec.get()), QLC_BAD_ARGUMENT);
  EXPECT_EQ(qlc_fetch_server_credentials(noSpec.get(), nullptr), QLC_BAD_ARGUMENT);
}

}  // namespace
}  // namespace QlcTest
