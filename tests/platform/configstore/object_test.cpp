// In-memory object model: typed values and ordered sub-objects.
#include "test_util.h"

#include <gtest/gtest.h>

namespace ConfigStoreTest {
namespace {

TEST(ObjectModel, ValuesAreTypedAndMissingOnesLeaveTheOutputAlone) {
  ConfigStoreObject obj(ProviderId("p"));
  obj.SetValue("s", "text");
  obj.SetValue("i", int64_t{-7});
  obj.SetValue("a", std::vector<std::string>{"x", "y"});

  std::string s = "keep";
  int64_t i = 99;
  std::vector<std::string> a{"keep"};
  EXPECT_FALSE(obj.GetValue("absent", s));
  EXPECT_FALSE(obj.GetValue("s", i));  // wrong type counts as absent
  EXPECT_FALSE(obj.GetValue("i", a));
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(i, 99);
  EXPECT_EQ(a, std::vector<std::string>{"keep"});

  ASSERT_TRUE(obj.GetValue("s", s));
  ASSERT_TRUE(obj.GetValue("i", i));
  ASSERT_TRUE(obj.GetValue("a", a));
  EXPECT_EQ(s, "text");
  EXPECT_EQ(i, -7);
  EXPECT_EQ(a, (std::vector<std::string>{"x", "y"}));

  obj.SetValue("s", int64_t{5});  // replacing changes the type
  EXPECT_FALSE(obj.GetValue("s", s));
  EXPECT_TRUE(obj.GetValue("s", i));
  EXPECT_TRUE(obj.DeleteValue("s"));
  EXPECT_FALSE(obj.DeleteValue("s"));
  EXPECT_EQ(obj.GetConfigStoreObjectId().instance, "p");
}

TEST(ObjectModel, SubObjectsKeepCreationOrderAndFilterByKind) {
  ConfigStoreObject obj(ProviderId("p"));
  obj.CreateSubObject(SubObjectId("servers", "b"));
  auto single = obj.CreateSubObject(SubObjectId("proxy_server"));
  obj.CreateSubObject(SubObjectId("servers", "a"));
  obj.CreateSubObject(SubObjectId("servers", "c"));

  EXPECT_EQ(obj.GetSubObject(SubObjectId("proxy_server")), single);
  EXPECT_EQ(obj.GetSubObject(SubObjectId("servers")), nullptr);  // instances are not the singleton
  EXPECT_THROW(obj.CreateSubObject(SubObjectId("servers", "a")), ConfigStoreException);
  EXPECT_THROW(obj.CreateSubObject(SubObjectId("")), ConfigStoreException);

  const FilterSpecObject servers(ConfigStoreObjectId("servers", kEmptyString, kEmptyString, ""));
  std::vector<std::string> order;
  for (const auto& s : obj.GetSubObjectInstances(servers)) {
    order.push_back(s->GetConfigStoreObjectId().instance);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "c"}));

  EXPECT_TRUE(obj.DeleteSubObject(SubObjectId("servers", "a")));
  EXPECT_FALSE(obj.DeleteSubObject(SubObjectId("servers", "a")));
  EXPECT_EQ(obj.DeleteSubObjectInstances(servers), 2u);
  ASSERT_EQ(obj.SubObjects().size(), 1u);
  EXPECT_EQ(obj.SubObjects()[0], single);
}

}  // namespace
}  // namespace ConfigStoreTest
