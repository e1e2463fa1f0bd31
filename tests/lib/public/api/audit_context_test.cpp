// The audit record built from a call's attribute map, written through the host audit log into a
// real file: the four record fields, the success flag, extra items in key order ending with the
// null item, fatal checks for a missing field; CallInfo's completion callback runs once.
#include <api/audit_context.h>
#include <api/call_info.h>

#include <harlibs/audit.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <test_files.h>
#include <test_temp_dir.h>

#include <string>
#include <vector>

namespace {

using Api::AuditContext;

AuditContext::AttributeMap Record(const std::string& result) {
  return {{"eventID", "api.call"}, {"subject", ""}, {"object", "svc:op"}, {"result", result}};
}

std::vector<std::string> ItemNames(const AuditContext& context) {
  std::vector<std::string> names;
  for (const VlrAuditItem& item : context.Items()) {
    names.push_back(item.name == nullptr ? "<end>" : item.name);
  }
  return names;
}

TEST(AuditContextTest, ExtraAttributesAreItemsInKeyOrderAndOnlyTrueSucceeds) {
  auto attributes = Record("TRUE");
  attributes["zeta"] = "z";
  attributes["alpha"] = "a";
  attributes["opId"] = "1";
  const AuditContext context(attributes);
  EXPECT_FALSE(context.Success());
  EXPECT_EQ(ItemNames(context), (std::vector<std::string>{"alpha", "opId", "zeta", "<end>"}));
  EXPECT_STREQ(context.Items()[0].value, "a");
}

TEST(AuditContextDeathTest, EachRecordFieldIsRequired) {
  for (const char* key : {"eventID", "subject", "object", "result"}) {
    auto attributes = Record("true");
    attributes.erase(key);
    EXPECT_DEATH(AuditContext{attributes}, "VERIFY") << key;
  }
}

TEST(AuditContextTest, LogWritesOneRecordToTheAuditFile) {
  const TestSupport::TempDir dir;
  const std::string path = dir.File("audit.log");
  VlrAudit_Configure(path);
  auto attributes = Record("false");
  attributes["subject"] = "admin";
  attributes["opId"] = "abc-1";
  AuditContext(attributes).Log();
  VlrAudit_Configure("");
  const std::vector<std::string> lines = TestSupport::Lines(TestSupport::ReadFile(path));
  ASSERT_EQ(lines.size(), 1u);
  const auto record = boost::json::parse(lines[0]).as_object();
  EXPECT_EQ(record.at("eventID").as_string(), "api.call");
  EXPECT_EQ(record.at("subject").as_string(), "admin");
  EXPECT_EQ(record.at("object").as_string(), "svc:op");
  EXPECT_EQ(record.at("result").as_bool(), false);
  EXPECT_EQ(record.at("items").as_object().size(), 1u);
  EXPECT_EQ(record.at("items").at("opId").as_string(), "abc-1");
}

TEST(CallInfoTest, CompleteStoresTheStatusAndRunsTheCallbackOnce) {
  Api::CallInfo::AttributeMap attributes;
  int runs = 0;
  Api::CallInfo info(&attributes, [&](Api::CallInfo& done) {
    ++runs;
    EXPECT_EQ(done.Status(), 7u);
  });
  info.Complete(7u);
  info.Complete(8u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(info.Status(), 8u);
}

}  // namespace
