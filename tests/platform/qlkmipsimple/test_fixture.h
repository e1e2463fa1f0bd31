// Shared pieces of the client tests: one certificate set per test binary, a running in-process
// server and helpers that own qlc handles.
#ifndef QLKMIPSIMPLE_TEST_FIXTURE_H
#define QLKMIPSIMPLE_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <qlkmipsimple.h>
#include <qlkmipsimple/handles.h>

#include <memory>
#include <string>

#include "kmip_test_server.h"

namespace QlcTest {

using Result = Qlkmip::QlcResult;
using Session = Qlkmip::QlcSession;

// Certificates shared by every test of the binary (generated once).
inline const KmipTest::CertSet& Certs() { return KmipTest::SharedCertSet(); }

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A specification for the running server with the client credentials; TRUSTED lists the
  // trusted PEMs (default: the CA).
  KmipTest::SpecOptions Options() const;
  std::string Spec() const { return KmipTest::BuildSpec(Options()); }

  // Connects with SPEC; returns the result and sets session_ on success.
  Result Connect(const std::string& spec);
  // COMMAND on ID on session_, with the credential options when USER is given.
  Result Perform(std::string command, const char* id, const char* user = nullptr);
  // The status of a Get of ID.
  int Get(const char* id, const char* user = nullptr);
  // The State of ID (or -status).
  int State(const char* id, const char* user = nullptr);

  std::unique_ptr<KmipTest::KmipTestServer> server_;
  Session session_;
};

}  // namespace QlcTest

#endif
