#include "kmipctl_commands.h"

#include <ironveil-common/ssl_utils.h>
#include <openssl/evp.h>
#include <qlkmipsimple/connection_spec.h>
#include <qlkmipsimple/handles.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace Kmipctl {
namespace {

namespace Ssl = Brask::Common::SslUtils;
using Qlkmip::ConnectionSpec;
using Qlkmip::QlcCredentials;
using Qlkmip::QlcResult;
using Qlkmip::QlcSession;
using Qlkmip::QlcValue;

constexpr size_t kMaxPemFile = Ssl::kMaxPemInput;
const char kCertBegin[] = "-----BEGIN CERTIFICATE-----";
const char kCertEnd[] = "-----END CERTIFICATE-----\n";

// Reads a regular file of at most kMaxPemFile bytes into OUT (std::string or Har::Secret).
template <typename Text>
Har::Status ReadPemFile(const std::string& path, Text& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return Har::Status::Error("cannot open " + path + ": " + std::strerror(errno));
  }
  struct stat st {};
  bool ok =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxPemFile;
  Text text;
  text.resize(ok ? static_cast<size_t>(st.st_size) : 0);
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = read(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  close(fd);
  if (!ok) {
    return Har::Status::Error(path + " is not a readable regular file of at most 64 KiB");
  }
  out = std::move(text);
  return Har::Status::Ok();
}

// Certificates go out in the daemon's standard form; a text that does not standardise is sent
// as written and the server or the library judges it.
Har::Status ReadCertificate(const std::string& path, std::string& out) {
  if (Har::Status read = ReadPemFile(path, out); !read) {
    return read;
  }
  Ssl::StandardizePemString(kCertBegin, kCertEnd, out);
  return Har::Status::Ok();
}

Har::Status LoadClientCredentials(const Options& options, ConnectionSpec& spec) {
  if (options.clientCertFile.empty()) {
    return Har::Status::Ok();
  }
  if (Har::Status read = ReadCertificate(options.clientCertFile, spec.certificatePem); !read) {
    return read;
  }
  if (Har::Status read = ReadPemFile(options.clientKeyFile, spec.privateKeyPem); !read) {
    return read;
  }
  spec.publicPem = spec.certificatePem;
  spec.hasClientCertificate = true;
  return Har::Status::Ok();
}

Har::Status LoadConnection(const Options& options, ConnectionSpec& spec) {
  spec.host = options.host;
  spec.port = options.port;
  spec.timeoutSeconds = static_cast<int>(options.timeoutSeconds);
  spec.proxyHost = options.proxyHost;
  spec.proxyPort = options.proxyPort;
  if (Har::Status loaded = LoadClientCredentials(options, spec); !loaded) {
    return loaded;
  }
  for (const std::string& path : options.trustedCertFiles) {
    std::string cert;
    if (Har::Status read = ReadCertificate(path, cert); !read) {
      return read;
    }
    spec.trustedPems.push_back(std::move(cert));
  }
  return Har::Status::Ok();
}

int Fail(std::ostream& err, const std::string& what, const qlc_result* result) {
  err << "kmipctl: " << what << " failed: status " << qlc_ok(result) << ": " << qlc_explain(result)
      << "\n";
  return 1;
}

QlcResult ConnectWith(const ConnectionSpec& spec, QlcSession& session) {
  const Har::Secret text = Qlkmip::BuildConnectionSpec(spec);
  qlc_session* raw = nullptr;
  QlcResult result(qlc_connect_key_manager(&raw, text.c_str()));
  if (qlc_ok(result.get()) == QLC_OK) {
    session.reset(raw);
  }
  return result;
}

// Connects without trusted certificates, so the server is never trusted and presents its own.
int ServerCert(ConnectionSpec spec, std::ostream& out, std::ostream& err) {
  spec.trustedPems.clear();
  QlcSession session;
  QlcResult result = ConnectWith(spec, session);
  int status = qlc_ok(result.get());
  if (status == QLC_OK) {
    err << "kmipctl: the server was trusted without any trusted certificate\n";
    return 1;
  }
  if (status != QLC_UNTRUSTED) {
    return Fail(err, "connect", result.get());
  }
  qlc_credentials* raw = nullptr;
  if (qlc_fetch_server_credentials(result.get(), &raw) != QLC_OK) {
    return Fail(err, "fetching the server certificate", result.get());
  }
  QlcCredentials credentials(raw);
  if (credentials->format != QLC_CRED_PEM || credentials->data == nullptr) {
    err << "kmipctl: unexpected credential format " << credentials->format << "\n";
    return 1;
  }
  out.write(reinterpret_cast<const char*>(credentials->data), credentials->length);
  return out.good() ? 0 : 1;
}

int Versions(qlc_session* session, std::ostream& out, std::ostream& err) {
  QlcResult result(qlc_perform(session, "Query, Versions"));
  if (qlc_ok(result.get()) != QLC_OK) {
    return Fail(err, "Discover Versions", result.get());
  }
  for (const qlc_node* node = qlc_find("Versions/", result.get()); node != nullptr;
       node = qlc_next(node)) {
    char* raw = nullptr;
    const int status = qlc_value_of(nullptr, node, "%s", &raw);
    const QlcValue text(raw, raw == nullptr ? 0 : std::strlen(raw));
    if (status != QLC_OK) {
      err << "kmipctl: unreadable version entry: status " << status << "\n";
      return 1;
    }
    out << text.text() << "\n";
  }
  return 0;
}

// Runs a per-key command, adding the username/password credential when one is configured.
QlcResult PerformOnKey(qlc_session* session, const char* command, const Options& options) {
  if (options.user.empty()) {
    return QlcResult(qlc_perform(session, command, options.keyId.c_str()));
  }
  std::string withCredential =
      std::string(command) + ", Options={Authentication={User=%s, Password=%s}}";
  return QlcResult(qlc_perform(session, withCredential.c_str(), options.keyId.c_str(),
                               options.user.c_str(), options.password.c_str()));
}

int State(qlc_session* session, const Options& options, std::ostream& out, std::ostream& err) {
  QlcResult result = PerformOnKey(session, "Get, Attributes, Id=%s, Names=State", options);
  if (qlc_ok(result.get()) != QLC_OK) {
    return Fail(err, "Get Attributes State of key " + options.keyId, result.get());
  }
  int state = 0;
  int status = qlc_value_of("Attributes/State", result.get(), "d", &state);
  if (status != QLC_OK) {
    err << "kmipctl: the response holds no State: status " << status << "\n";
    return 1;
  }
  out << state << "\n";
  return 0;
}

bool Sha256Hex(const unsigned char* data, size_t length, std::string& hex) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLength = 0;
  if (EVP_Digest(data, length, digest.data(), &digestLength, EVP_sha256(), nullptr) != 1) {
    return false;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  constexpr unsigned kNibbleBits = 4;
  constexpr unsigned kNibbleMask = 0x0f;
  hex.clear();
  for (unsigned i = 0; i < digestLength; ++i) {
    hex.push_back(kDigits[digest[i] >> kNibbleBits]);
    hex.push_back(kDigits[digest[i] & kNibbleMask]);
  }
  return true;
}

int KeyInfo(qlc_session* session, const Options& options, std::ostream& out, std::ostream& err) {
  QlcResult result = PerformOnKey(session, "Get, Object, Id=%s", options);
  if (qlc_ok(result.get()) != QLC_OK) {
    return Fail(err, "Get of key " + options.keyId, result.get());
  }
  unsigned char* raw = nullptr;
  int32_t length = 0;
  const int status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &raw, &length);
  const QlcValue key(raw, length < 0 ? 0 : static_cast<size_t>(length));
  std::string hex;
  if (status != QLC_OK || length < 0 || !Sha256Hex(key.bytes(), key.size(), hex)) {
    err << "kmipctl: the response holds no key material: status " << status << "\n";
    return 1;
  }
  out << static_cast<long>(length) * 8 << " " << hex << "\n";
  return 0;
}

}  // namespace

int RunCommand(const Options& options, std::ostream& out, std::ostream& err) {
  ConnectionSpec spec;
  if (const Har::Status loaded = LoadConnection(options, spec); !loaded) {
    err << "kmipctl: " << loaded.message() << "\n";
    return 1;
  }
  if (options.command == Command::ServerCert) {
    return ServerCert(std::move(spec), out, err);
  }
  QlcSession session;
  QlcResult connected = ConnectWith(spec, session);
  if (!session) {
    return Fail(err, "connect", connected.get());
  }
  switch (options.command) {
    case Command::Versions:
      return Versions(session.get(), out, err);
    case Command::State:
      return State(session.get(), options, out, err);
    case Command::KeyInfo:
      return KeyInfo(session.get(), options, out, err);
    case Command::ServerCert:
      break;
  }
  return 1;
}

}  // namespace Kmipctl
