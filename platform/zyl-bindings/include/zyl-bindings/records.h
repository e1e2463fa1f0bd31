// Records of the daemon's API services: plain structs, one namespace per service, each described
// with Boost.Describe so that one generic codec turns them into JSON and back. Member names are the
// JSON member names. std::optional members may be absent on the wire; nested records are held by
// value. Localizable messages use the framework's Mirel::Message; binary members are byte vectors
// (Base64 on the wire).
#pragma once

#include <mirel/provider.h>

#include <boost/describe.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Com::Velora::Ovik::Kms {

// Health of the daemon, a provider or one of its servers.
BOOST_DEFINE_ENUM_CLASS(Health, NONE, OK, WARNING, ERROR)

namespace KeyOperationSvc {

struct GeneratedKey {
  std::string wrappedKey;
  std::optional<std::string> key;
};
BOOST_DESCRIBE_STRUCT(GeneratedKey, (), (wrappedKey, key))

struct DecryptResult {
  std::string key;
};
BOOST_DESCRIBE_STRUCT(DecryptResult, (), (key))

struct EncryptResult {
  std::string wrappedKey;
};
BOOST_DESCRIBE_STRUCT(EncryptResult, (), (wrappedKey))

}  // namespace KeyOperationSvc

namespace ProvidersSvc {

// The only kind of key server.
BOOST_DEFINE_ENUM_CLASS(KeyServerType, KMIP)

struct NetworkAddress {
  std::string hostname;
  std::optional<int64_t> port;
};
BOOST_DESCRIBE_STRUCT(NetworkAddress, (), (hostname, port))

struct Server {
  std::string name;
  NetworkAddress address;
};
BOOST_DESCRIBE_STRUCT(Server, (), (name, address))

struct KmipServerCreateSpec {
  std::vector<Server> servers;
  std::optional<std::string> username;
};
BOOST_DESCRIBE_STRUCT(KmipServerCreateSpec, (), (servers, username))

struct KeyServerCreateSpec {
  KeyServerType type = KeyServerType::KMIP;
  std::optional<std::string> description;
  std::optional<NetworkAddress> proxyServer;
  std::optional<int64_t> connectionTimeout;
  KmipServerCreateSpec kmipServer;
};
BOOST_DESCRIBE_STRUCT(KeyServerCreateSpec, (),
                      (type, description, proxyServer, connectionTimeout, kmipServer))

struct CreateSpec {
  std::string provider;
  std::string masterKeyId;
  KeyServerCreateSpec keyServer;
};
BOOST_DESCRIBE_STRUCT(CreateSpec, (), (provider, masterKeyId, keyServer))

struct KmipServerUpdateSpec {
  std::optional<std::vector<Server>> servers;
  std::optional<std::string> username;
};
BOOST_DESCRIBE_STRUCT(KmipServerUpdateSpec, (), (servers, username))

struct KeyServerUpdateSpec {
  std::optional<KeyServerType> type;
  std::optional<std::string> description;
  std::optional<NetworkAddress> proxyServer;
  std::optional<int64_t> connectionTimeout;
  std::optional<KmipServerUpdateSpec> kmipServer;
};
BOOST_DESCRIBE_STRUCT(KeyServerUpdateSpec, (),
                      (type, description, proxyServer, connectionTimeout, kmipServer))

struct UpdateSpec {
  std::optional<std::string> masterKeyId;
  std::optional<KeyServerUpdateSpec> keyServer;
};
BOOST_DESCRIBE_STRUCT(UpdateSpec, (), (masterKeyId, keyServer))

struct Summary {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(Summary, (), (provider))

struct KmipServerInfo {
  std::vector<Server> servers;
  std::optional<std::string> username;
};
BOOST_DESCRIBE_STRUCT(KmipServerInfo, (), (servers, username))

struct KeyServerInfo {
  KeyServerType type = KeyServerType::KMIP;
  std::string description;
  std::optional<NetworkAddress> proxyServer;
  std::optional<int64_t> connectionTimeout;
  KmipServerInfo kmipServer;
};
BOOST_DESCRIBE_STRUCT(KeyServerInfo, (),
                      (type, description, proxyServer, connectionTimeout, kmipServer))

struct Info {
  std::string masterKeyId;
  KeyServerInfo keyServer;
};
BOOST_DESCRIBE_STRUCT(Info, (), (masterKeyId, keyServer))

}  // namespace ProvidersSvc

namespace Providers {

namespace CredentialSvc {

struct Info {
  std::string credential;
};
BOOST_DESCRIBE_STRUCT(Info, (), (credential))

}  // namespace CredentialSvc

namespace ClientCertificateSvc {

struct GetSpec {
  std::optional<bool> includePrivateKey;
};
BOOST_DESCRIBE_STRUCT(GetSpec, (), (includePrivateKey))

struct SetSpec {
  std::string certificate;
  std::optional<std::string> privateKey;
};
BOOST_DESCRIBE_STRUCT(SetSpec, (), (certificate, privateKey))

struct Info {
  std::string certificate;
  std::optional<std::string> privateKey;
};
BOOST_DESCRIBE_STRUCT(Info, (), (certificate, privateKey))

}  // namespace ClientCertificateSvc

namespace ClientCertificate::CsrSvc {

struct GetSpec {
  std::optional<bool> includePrivateKey;
};
BOOST_DESCRIBE_STRUCT(GetSpec, (), (includePrivateKey))

struct SetSpec {
  std::string csr;
  std::string privateKey;
};
BOOST_DESCRIBE_STRUCT(SetSpec, (), (csr, privateKey))

struct Info {
  std::string csr;
  std::optional<std::string> privateKey;
};
BOOST_DESCRIBE_STRUCT(Info, (), (csr, privateKey))

}  // namespace ClientCertificate::CsrSvc

namespace ServerCertificatesSvc {

struct Info {
  std::vector<std::string> certificates;
};
BOOST_DESCRIBE_STRUCT(Info, (), (certificates))

}  // namespace ServerCertificatesSvc

namespace ServerCertificates::RemoteSvc {

struct FilterSpec {
  std::optional<std::vector<std::string>>
      servers;  // a set on the wire: duplicates carry no meaning
  std::optional<bool> trusted;
};
BOOST_DESCRIBE_STRUCT(FilterSpec, (), (servers, trusted))

struct Summary {
  std::string server;
  std::optional<std::string> certificate;
  std::vector<Mirel::Message> errors;
  bool trusted = false;
};
BOOST_DESCRIBE_STRUCT(Summary, (), (server, certificate, errors, trusted))

}  // namespace ServerCertificates::RemoteSvc

namespace StatusSvc {

struct ServerInfo {
  Health health = Health::NONE;
  std::vector<Mirel::Message> messages;
  bool clientTrustServer = false;
  bool serverTrustClient = false;
  std::string server;
};
BOOST_DESCRIBE_STRUCT(ServerInfo, (),
                      (health, messages, clientTrustServer, serverTrustClient, server))

struct Info {
  Health health = Health::NONE;
  std::vector<Mirel::Message> messages;
  std::vector<ServerInfo> servers;
};
BOOST_DESCRIBE_STRUCT(Info, (), (health, messages, servers))

}  // namespace StatusSvc

}  // namespace Providers

namespace RawConfigSvc {

// What Get returns. UNKNOWN is the marker for any text the decoder does not know.
BOOST_DEFINE_ENUM_CLASS(InfoType, CONFIGURATION, HASH, UNKNOWN)

struct Info {
  std::optional<std::vector<uint8_t>> configuration;  // gzip-compressed export text
  std::string hash;
  std::string dateTime = "1970-01-01T00:00:00Z";  // RFC 3339, UTC
};
BOOST_DESCRIBE_STRUCT(Info, (), (configuration, hash, dateTime))

}  // namespace RawConfigSvc

namespace StatusSvc {

struct Info {
  Health health = Health::NONE;
  std::vector<Mirel::Message> messages;
};
BOOST_DESCRIBE_STRUCT(Info, (), (health, messages))

}  // namespace StatusSvc

}  // namespace Com::Velora::Ovik::Kms
