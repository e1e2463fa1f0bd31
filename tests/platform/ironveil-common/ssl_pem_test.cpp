#include <test_pem.h>

#include <ironveil-common/ssl_utils.h>

#include <harlibs/base64.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Brask::Common::SslUtils;
using TestSupport::PemBody;
using TestSupport::SharedCert;
using TestSupport::SharedCsr;
using TestSupport::Wrap;

const std::string kBegin = "-----BEGIN CERTIFICATE-----";
const std::string kEnd = "-----END CERTIFICATE-----";

// OpenSSL writes canonical PEM with one final newline.
std::string Canonical() { return SharedCert().cert; }
std::string CanonicalNoNewline() { return Canonical().substr(0, Canonical().size() - 1); }

TEST(PemStandardize, EndMarkerArgumentDecidesTheTail) {
  std::string withNewline = CanonicalNoNewline();
  ASSERT_TRUE(StandardizePemString(kBegin, kEnd + "\n", withNewline));
  EXPECT_EQ(withNewline, Canonical());

  std::string without = Canonical() + "\n\n";
  ASSERT_TRUE(StandardizePemString(kBegin, kEnd, without));
  EXPECT_EQ(without, CanonicalNoNewline());

  // Already canonical text is left as it is; whitespace around the marker arguments is ignored.
  std::string same = Canonical();
  ASSERT_TRUE(StandardizePemString("  " + kBegin + "\n", "\n" + kEnd + "\n", same));
  EXPECT_EQ(same, Canonical());
}

TEST(PemStandardize, NormalisesWrappingLineEndsAndWhitespace) {
  const std::string body = PemBody(Canonical());
  const std::string variants[] = {
      kBegin + "\n" + Wrap(body, 76, "\n") + kEnd + "\n",
      kBegin + "\r\n" + Wrap(body, 64, "\r\n") + kEnd + "\r\n",
      "\n\n  " + kBegin + "   \n" + Wrap(body, 10, " \t\n") + "\n\n" + kEnd + "  \n\n",
      kBegin + body + kEnd,
  };
  for (std::string text : variants) {
    ASSERT_TRUE(StandardizePemString(kBegin, kEnd + "\n", text)) << text;
    EXPECT_EQ(text, Canonical());
  }
}

TEST(PemStandardize, RejectsMalformedTextAndLeavesItUnchanged) {
  const std::string body = PemBody(Canonical());
  const std::string csrBody = PemBody(SharedCsr().cert);
  const std::string bad[] = {
      "",
      "garbage",
      kBegin + "\n" + Wrap(body, 64, "\n"),                                    // no end marker
      Wrap(body, 64, "\n") + kEnd + "\n",                                      // no begin marker
      kBegin + "\n" + kEnd + "\n",                                             // empty body
      kBegin + "\n" + Wrap(body.substr(0, body.size() / 2), 64, "\n") + kEnd,  // truncated
      kBegin + "\n" + "!!!!" + Wrap(body, 64, "\n") + kEnd,                    // not Base64
      kBegin + "\nAAAAAAAA\n" + kEnd,                                          // Base64, not DER
      kBegin + "\n" + Wrap(csrBody, 64, "\n") + kEnd + "\n",                   // a CSR inside
      kBegin + "\nProc-Type: 4,ENCRYPTED\n\n" + Wrap(body, 64, "\n") + kEnd,   // headers
      "junk\n" + Canonical(),                                                  // text before
      Canonical() + "trailing junk\n",                                         // text after
      Canonical() + Canonical(),                                               // two objects
      Canonical() + std::string(kMaxPemInput, ' '),                            // oversized
  };
  for (const std::string& input : bad) {
    std::string text = input;
    EXPECT_FALSE(StandardizePemString(kBegin, kEnd + "\n", text)) << input;
    EXPECT_EQ(text, input);
  }
}

TEST(PemStandardize, RejectsExtraBytesAfterTheObjectAndUnknownLabels) {
  const std::string body = PemBody(Canonical());
  std::vector<uint8_t> der(Base64_DecodedLength(body.data(), body.size()));
  size_t len = 0;
  ASSERT_TRUE(Base64_Decode(body.data(), body.size(), der.data(), der.size(), &len));
  der.resize(len);
  der.insert(der.end(), {0x05, 0x00});  // a DER NULL after the certificate
  std::string extended(Base64_EncodedLength(der.size()), '\0');
  ASSERT_TRUE(Base64_Encode(der.data(), der.size(), extended.data(), extended.size(), &len));
  extended.resize(len);
  std::string text = kBegin + "\n" + Wrap(extended, 64, "\n") + kEnd + "\n";
  EXPECT_FALSE(StandardizePemString(kBegin, kEnd + "\n", text));
  // A label the reader does not know is refused.
  text = "-----BEGIN THING-----\n" + Wrap(body, 64, "\n") + "-----END THING-----\n";
  EXPECT_FALSE(StandardizePemString("-----BEGIN THING-----", "-----END THING-----", text));
}

TEST(PemStandardize, CsrAcceptsBothLabelsAndWritesTheStandardOne) {
  const std::string canonical = SharedCsr().cert;
  ASSERT_EQ(canonical.rfind("-----BEGIN CERTIFICATE REQUEST-----", 0), 0u);
  const std::string body = PemBody(canonical);

  std::string legacy = "-----BEGIN NEW CERTIFICATE REQUEST-----\r\n" + Wrap(body, 76, "\r\n") +
                       "-----END NEW CERTIFICATE REQUEST-----";
  ASSERT_TRUE(StandardizePemCsr(legacy));
  EXPECT_EQ(legacy, canonical);

  std::string cert = Canonical();
  EXPECT_FALSE(StandardizePemCsr(cert));
  EXPECT_EQ(cert, Canonical());
}

}  // namespace
