// The daemon's API services as the framework binds them: per service its identifier, the
// interface that an implementation derives from (AsyncServiceInterface: one virtual method per
// operation, arguments in wire parameter order, ending with the AsyncResult to complete exactly
// once), the params record of each operation and the binder. The service tables themselves (the
// single source of the operation identifiers, entitlements and errors, from which the metadata file
// is generated) are in services.cpp.
#pragma once

#include <zyl-bindings/records.h>

#include <mirel/async_result.h>
#include <mirel/binding.h>
#include <mirel/messages.h>
#include <mirel/metadata_gen.h>

#include <boost/describe.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Zyl::Bindings {

using ::Mirel::AsyncResult;
using LocalizerPtr = std::shared_ptr<const ::Mirel::L10n::Localizer>;

inline constexpr const char* kAttestEntitlement = "@ATTEST+KEY_OPERATIONS";
inline constexpr const char* kAdminEntitlement = "KMS_ADMIN";
inline constexpr const char* kReadEntitlement = "KMS_READ";

// The metadata of every service, in binding order.
std::vector<::Mirel::Binding::ServiceMetadata> AllServices();
// The options of the daemon's metadata document (component names, package).
::Mirel::Metadata::DocumentOptions MetadataOptions();

}  // namespace Zyl::Bindings

// Declares the binder of the service whose AsyncServiceInterface is in the enclosing namespace.
#define ZYL_DECLARE_BINDER(serviceIdText)                                                       \
  inline constexpr const char* kServiceId = serviceIdText;                                      \
  const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification();           \
  struct AsyncServiceBinder {                                                                   \
    static ::Mirel::Binding::BoundInterfacePtr BindImplementation(                              \
        std::shared_ptr<AsyncServiceInterface> impl, ::Zyl::Bindings::LocalizerPtr localizer) { \
      return ::Mirel::Binding::Bind(ServiceSpecification(), std::move(impl),                    \
                                    std::move(localizer));                                      \
    }                                                                                           \
  };

namespace Com::Velora::Ovik::Kms {

namespace KeyOperationSvc {

struct GenerateKeyParams {
  std::string provider;
  int64_t keySize = 0;
};
BOOST_DESCRIBE_STRUCT(GenerateKeyParams, (), (provider, keySize))
struct EncryptParams {
  std::string provider;
  std::string key;
};
BOOST_DESCRIBE_STRUCT(EncryptParams, (), (provider, key))
struct DecryptParams {
  std::string provider;
  std::string wrappedKey;
};
BOOST_DESCRIBE_STRUCT(DecryptParams, (), (provider, wrappedKey))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void GenerateKey(const std::string& provider, int64_t keySize,
                           ::Mirel::AsyncResult<GeneratedKey> result) = 0;
  virtual void Encrypt(const std::string& provider, const std::string& key,
                       ::Mirel::AsyncResult<EncryptResult> result) = 0;
  virtual void Decrypt(const std::string& provider, const std::string& wrappedKey,
                       ::Mirel::AsyncResult<DecryptResult> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.key_operation")

}  // namespace KeyOperationSvc

namespace ProvidersSvc {

struct ListParams {};
BOOST_DESCRIBE_STRUCT(ListParams, (), ())
struct CreateParams {
  CreateSpec spec;
};
BOOST_DESCRIBE_STRUCT(CreateParams, (), (spec))
struct UpdateParams {
  std::string provider;
  UpdateSpec spec;
};
BOOST_DESCRIBE_STRUCT(UpdateParams, (), (provider, spec))
struct ProviderParams {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(ProviderParams, (), (provider))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void List(::Mirel::AsyncResult<std::vector<Summary>> result) = 0;
  virtual void Create(const CreateSpec& spec, ::Mirel::AsyncResult<void> result) = 0;
  virtual void Update(const std::string& provider, const UpdateSpec& spec,
                      ::Mirel::AsyncResult<void> result) = 0;
  virtual void Delete(const std::string& provider, ::Mirel::AsyncResult<void> result) = 0;
  virtual void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers")

}  // namespace ProvidersSvc

namespace Providers::CredentialSvc {

struct SetParams {
  std::string provider;
  std::string credential;
};
BOOST_DESCRIBE_STRUCT(SetParams, (), (provider, credential))
struct ProviderParams {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(ProviderParams, (), (provider))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Set(const std::string& provider, const std::string& credential,
                   ::Mirel::AsyncResult<void> result) = 0;
  virtual void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers.credential")

}  // namespace Providers::CredentialSvc

namespace Providers::ClientCertificateSvc {

struct ProviderParams {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(ProviderParams, (), (provider))
struct GetParams {
  std::string provider;
  std::optional<GetSpec> spec;
};
BOOST_DESCRIBE_STRUCT(GetParams, (), (provider, spec))
struct SetParams {
  std::string provider;
  SetSpec spec;
};
BOOST_DESCRIBE_STRUCT(SetParams, (), (provider, spec))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Create(const std::string& provider, ::Mirel::AsyncResult<void> result) = 0;
  virtual void Get(const std::string& provider, const std::optional<GetSpec>& spec,
                   ::Mirel::AsyncResult<Info> result) = 0;
  virtual void Set(const std::string& provider, const SetSpec& spec,
                   ::Mirel::AsyncResult<void> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers.client_certificate")

}  // namespace Providers::ClientCertificateSvc

namespace Providers::ClientCertificate::CsrSvc {

struct ProviderParams {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(ProviderParams, (), (provider))
struct GetParams {
  std::string provider;
  std::optional<GetSpec> spec;
};
BOOST_DESCRIBE_STRUCT(GetParams, (), (provider, spec))
struct SetParams {
  std::string provider;
  SetSpec spec;
};
BOOST_DESCRIBE_STRUCT(SetParams, (), (provider, spec))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Create(const std::string& provider, ::Mirel::AsyncResult<Info> result) = 0;
  virtual void Get(const std::string& provider, const std::optional<GetSpec>& spec,
                   ::Mirel::AsyncResult<Info> result) = 0;
  virtual void Set(const std::string& provider, const SetSpec& spec,
                   ::Mirel::AsyncResult<void> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers.client_certificate.csr")

}  // namespace Providers::ClientCertificate::CsrSvc

namespace Providers::ServerCertificatesSvc {

struct SetParams {
  std::string provider;
  std::vector<std::string> certificates;
};
BOOST_DESCRIBE_STRUCT(SetParams, (), (provider, certificates))
struct ProviderParams {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(ProviderParams, (), (provider))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Set(const std::string& provider, const std::vector<std::string>& certificates,
                   ::Mirel::AsyncResult<void> result) = 0;
  virtual void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers.server_certificates")

}  // namespace Providers::ServerCertificatesSvc

namespace Providers::ServerCertificates::RemoteSvc {

struct ListParams {
  std::string provider;
  std::optional<FilterSpec> filter;
};
BOOST_DESCRIBE_STRUCT(ListParams, (), (provider, filter))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void List(const std::string& provider, const std::optional<FilterSpec>& filter,
                    ::Mirel::AsyncResult<std::vector<Summary>> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers.server_certificates.remote")

}  // namespace Providers::ServerCertificates::RemoteSvc

namespace Providers::StatusSvc {

struct ProviderParams {
  std::string provider;
};
BOOST_DESCRIBE_STRUCT(ProviderParams, (), (provider))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.providers.status")

}  // namespace Providers::StatusSvc

namespace RawConfigSvc {

struct GetParams {
  std::optional<InfoType> infoType;
};
BOOST_DESCRIBE_STRUCT(GetParams, (), (infoType))
struct SetParams {
  std::vector<uint8_t> configuration;
};
BOOST_DESCRIBE_STRUCT(SetParams, (), (configuration))

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Get(const std::optional<InfoType>& infoType, ::Mirel::AsyncResult<Info> result) = 0;
  virtual void Set(const std::vector<uint8_t>& configuration,
                   ::Mirel::AsyncResult<void> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.raw_config")

}  // namespace RawConfigSvc

namespace StatusSvc {

struct GetParams {};
BOOST_DESCRIBE_STRUCT(GetParams, (), ())

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Get(::Mirel::AsyncResult<Info> result) = 0;
};
ZYL_DECLARE_BINDER("com.velora.ovik.kms.status")

}  // namespace StatusSvc

}  // namespace Com::Velora::Ovik::Kms
