#include "kmipctl_commands.h"

#include "connection_spec.h"
#include "qlc_handles.h"

#include <ironveil-common/ssl_utils.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

namespace Kmipctl {
namespace {

namespace Ssl = Brask::Common::SslUtils;

constexpr size_t kMaxPemFile = Ssl::kMaxPemInput;
const char kCertBegin[] = "-----BEGIN CERTIFICATE-----";
const char kCertEnd[] = "-----END CERTIFICATE-----\n";

// Reads a regular file of at most kMaxPemFile bytes.
template <typename Text>
bool ReadPemFile(const std::string& path, Text& out, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open " + path;
    return false;
  }
  struct stat st {};
  bool ok =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxPemFile;
  Text text(ok ? static_cast<size_t>(st.st_size) : 0, '\0');
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = read(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  close(fd);
  if (!ok) {
    Har::Cleanse(text.data(), text.size());
    error = path + " is not a readable regular file of at most 64 KiB";
    return false;
  }
  out.swap(text);
  return true;
}

// Certificates go out in the daemon's standard form; a text that does not standardise is sent
// as written and the server or the library judges it.
bool ReadCertificate(const std::string& path, std::string& out, std::string& error) {
  if (!ReadPemFile(path, out, error)) {
    return false;
  }
  Ssl::StandardizePemString(kCertBegin, kCertEnd, out);
  return true;
}

bool LoadInputs(const Options& options, SpecInputs& in, std::string& error) {
  in.host = options.host;
  in.port = options.port;
  in.timeoutSeconds = options.timeoutSeconds;
  in.proxyHost = options.proxyHost;
  in.proxyPort = options.proxyPort;
  if (!options.clientCertFile.empty() &&
      (!ReadCertificate(options.clientCertFile, in.clientCertificate, error) ||
       !ReadPemFile(options.clientKeyFile, in.privateKey, error))) {
    return false;
  }
  for (const std::string& path : options.trustedCertFiles) {
    std::string cert;
    if (!ReadCertificate(path, cert, error)) {
      return false;
    }
    in.trustedCertificates.push_back(std::move(cert));
  }
  return true;
}

int Fail(std::ostream& err, const std::string& what, const qlc_result* result) {
  err << "kmipctl: " << what << " failed: status " << qlc_ok(result) << ": " << qlc_explain(result)
      << "\n";
  return 1;
}

ResultHandle ConnectWith(const SpecInputs& in, SessionHandle& session) {
  Har::SecureString spec = BuildConnectionSpec(in);
  qlc_session* raw = nullptr;
  ResultHandle result(qlc_connect_key_manager(&raw, spec.c_str()));
  Har::Cleanse(spec);
  if (qlc_ok(result.get()) == QLC_OK) {
    session.reset(raw);
  }
  return result;
}

int ServerCert(SpecInputs in, std::ostream& out, std::ostream& err) {
  in.trust = false;
  SessionHandle session;
  ResultHandle result = ConnectWith(in, session);
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
  CredentialsHandle credentials(raw);
  if (credentials->format != QLC_CRED_PEM || credentials->data == nullptr) {
    err << "kmipctl: unexpected credential format " << credentials->format << "\n";
    return 1;
  }
  out.write(reinterpret_cast<const char*>(credentials->data), credentials->length);
  return out.good() ? 0 : 1;
}

int Versions(qlc_session* session, std::ostream& out, std::ostream& err) {
  ResultHandle result(qlc_perform(session, "Query, Versions"));
  if (qlc_ok(result.get()) != QLC_OK) {
    return Fail(err, "Discover Versions", result.get());
  }
  for (const qlc_node* node = qlc_find("Versions/", result.get()); node != nullptr;
       node = qlc_next(node)) {
    char* raw = nullptr;
    int status = qlc_value_of(nullptr, node, "%s", &raw);
    ValueHandle<char> text(raw);
    if (status != QLC_OK) {
      err << "kmipctl: unreadable version entry: status " << status << "\n";
      return 1;
    }
    out << text.get() << "\n";
  }
  return 0;
}

// Runs a per-key command, adding the username/password credential when one is configured.
ResultHandle PerformOnKey(qlc_session* session, const char* command, const Options& options) {
  if (options.user.empty()) {
    return ResultHandle(qlc_perform(session, command, options.keyId.c_str()));
  }
  std::string withCredential =
      std::string(command) + ", Options={Authentication={User=%s, Password=%s}}";
  return ResultHandle(qlc_perform(session, withCredential.c_str(), options.keyId.c_str(),
                                  options.user.c_str(), options.password.c_str()));
}

int State(qlc_session* session, const Options& options, std::ostream& out, std::ostream& err) {
  ResultHandle result = PerformOnKey(session, "Get, Attributes, Id=%s, Names=State", options);
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
  Har::SecureString text;
  AppendHex(std::string_view(reinterpret_cast<const char*>(digest.data()), digestLength), text);
  hex.assign(text.data(), text.size());
  return true;
}

int KeyInfo(qlc_session* session, const Options& options, std::ostream& out, std::ostream& err) {
  ResultHandle result = PerformOnKey(session, "Get, Object, Id=%s", options);
  if (qlc_ok(result.get()) != QLC_OK) {
    return Fail(err, "Get of key " + options.keyId, result.get());
  }
  unsigned char* raw = nullptr;
  int32_t length = 0;
  int status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &raw, &length);
  ValueHandle<unsigned char> key(raw);
  std::string hex;
  if (status != QLC_OK || length < 0 || !Sha256Hex(key.get(), static_cast<size_t>(length), hex)) {
    err << "kmipctl: the response holds no key material: status " << status << "\n";
    return 1;
  }
  out << static_cast<long>(length) * 8 << " " << hex << "\n";
  return 0;
}

}  // namespace

int RunCommand(const Options& options, std::ostream& out, std::ostream& err) {
  SpecInputs in;
  std::string error;
  if (!LoadInputs(options, in, error)) {
    err << "kmipctl: " << error << "\n";
    return 1;
  }
  if (options.command == Command::ServerCert) {
    return ServerCert(std::move(in), out, err);
  }
  in.trust = true;
  SessionHandle session;
  ResultHandle connected = ConnectWith(in, session);
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
