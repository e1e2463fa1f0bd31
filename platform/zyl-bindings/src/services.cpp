// The service tables of the daemon's API: operation identifiers, params, results, entitlements
// and error types. Everything the framework and the metadata file know about the services comes
// from here.
#include <zyl-bindings/services.h>

#include <mirel/errors.h>

namespace Com::Velora::Ovik::Kms {
namespace {

using ::Mirel::Binding::Operation;
namespace Types = ::Mirel::ErrorTypes;
using Strings = std::vector<std::string>;

const char* const kAdmin = Zyl::Bindings::kAdminEntitlement;
const char* const kRead = Zyl::Bindings::kReadEntitlement;
const char* const kAttest = Zyl::Bindings::kAttestEntitlement;

std::string T(std::string_view type) { return std::string(type); }

}  // namespace

namespace KeyOperationSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, GenerateKeyParams, GeneratedKey, &I::GenerateKey>(
           "generate_key", {kAttest, kAdmin},
           {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)}),
       Operation<I, EncryptParams, EncryptResult, &I::Encrypt>("encrypt", {kAttest, kAdmin},
                                                               {T(Types::kError)}),
       Operation<I, DecryptParams, DecryptResult, &I::Decrypt>(
           "decrypt", {kAttest, kAdmin},
           {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)})}};
  return spec;
}
}  // namespace KeyOperationSvc

namespace ProvidersSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, ListParams, std::vector<Summary>, &I::List>("list", {kAdmin, kRead},
                                                                {T(Types::kError)}),
       Operation<I, CreateParams, void, &I::Create>(
           "create", {kAdmin},
           {T(Types::kError), T(Types::kAlreadyExists), T(Types::kInvalidArgument)}),
       Operation<I, UpdateParams, void, &I::Update>(
           "update", {kAdmin}, {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)}),
       Operation<I, ProviderParams, void, &I::Delete>(
           "delete", {kAdmin}, {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)}),
       Operation<I, ProviderParams, Info, &I::Get>(
           "get", {kAdmin, kRead},
           {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)})}};
  return spec;
}
}  // namespace ProvidersSvc

namespace Providers::CredentialSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  const Strings errors{T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)};
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, SetParams, void, &I::Set>("set", {kAdmin}, errors),
       Operation<I, ProviderParams, Info, &I::Get>("get", {kAdmin}, errors)}};
  return spec;
}
}  // namespace Providers::CredentialSvc

namespace Providers::ClientCertificateSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  const Strings errors{T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)};
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, ProviderParams, void, &I::Create>("create", {kAdmin}, errors),
       Operation<I, GetParams, Info, &I::Get>("get", {kAdmin}, errors),
       Operation<I, SetParams, void, &I::Set>("set", {kAdmin}, errors)}};
  return spec;
}
}  // namespace Providers::ClientCertificateSvc

namespace Providers::ClientCertificate::CsrSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  const Strings errors{T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)};
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, ProviderParams, Info, &I::Create>("create", {kAdmin}, errors),
       Operation<I, GetParams, Info, &I::Get>("get", {kAdmin}, errors),
       Operation<I, SetParams, void, &I::Set>("set", {kAdmin}, errors)}};
  return spec;
}
}  // namespace Providers::ClientCertificate::CsrSvc

namespace Providers::ServerCertificatesSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  const Strings errors{T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)};
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, SetParams, void, &I::Set>("set", {kAdmin},
                                              {T(Types::kError), T(Types::kNotFound),
                                               T(Types::kInvalidArgument), T(Types::kUnsupported)}),
       Operation<I, ProviderParams, Info, &I::Get>("get", {kAdmin, kRead}, errors)}};
  return spec;
}
}  // namespace Providers::ServerCertificatesSvc

namespace Providers::ServerCertificates::RemoteSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, ListParams, std::vector<Summary>, &I::List>(
          "list", {kAdmin, kRead},
          {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)})}};
  return spec;
}
}  // namespace Providers::ServerCertificates::RemoteSvc

namespace Providers::StatusSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, ProviderParams, Info, &I::Get>(
          "get", {kAttest, kAdmin, kRead},
          {T(Types::kError), T(Types::kNotFound), T(Types::kInvalidArgument)})}};
  return spec;
}
}  // namespace Providers::StatusSvc

namespace RawConfigSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, GetParams, Info, &I::Get>("get", {kAdmin, kRead},
                                              {T(Types::kError), T(Types::kInvalidArgument)}),
       Operation<I, SetParams, void, &I::Set>("set", {kAdmin},
                                              {T(Types::kError), T(Types::kInvalidArgument)})}};
  return spec;
}
}  // namespace RawConfigSvc

namespace StatusSvc {
const ::Mirel::Binding::ServiceSpec<AsyncServiceInterface>& ServiceSpecification() {
  using I = AsyncServiceInterface;
  static const ::Mirel::Binding::ServiceSpec<I> spec{
      kServiceId,
      {Operation<I, GetParams, Info, &I::Get>("get", {kAttest, kAdmin, kRead},
                                              {T(Types::kError)})}};
  return spec;
}
}  // namespace StatusSvc

}  // namespace Com::Velora::Ovik::Kms

namespace Zyl::Bindings {

std::vector<::Mirel::Binding::ServiceMetadata> AllServices() {
  namespace Kms = Com::Velora::Ovik::Kms;
  return {Kms::KeyOperationSvc::ServiceSpecification().Metadata(),
          Kms::Providers::ServerCertificatesSvc::ServiceSpecification().Metadata(),
          Kms::Providers::ServerCertificates::RemoteSvc::ServiceSpecification().Metadata(),
          Kms::Providers::ClientCertificate::CsrSvc::ServiceSpecification().Metadata(),
          Kms::ProvidersSvc::ServiceSpecification().Metadata(),
          Kms::Providers::CredentialSvc::ServiceSpecification().Metadata(),
          Kms::Providers::ClientCertificateSvc::ServiceSpecification().Metadata(),
          Kms::RawConfigSvc::ServiceSpecification().Metadata(),
          Kms::Providers::StatusSvc::ServiceSpecification().Metadata(),
          Kms::StatusSvc::ServiceSpecification().Metadata()};
}

::Mirel::Metadata::DocumentOptions MetadataOptions() {
  ::Mirel::Metadata::DocumentOptions options;
  options.package = "com.velora.ovik.kms";
  options.cliPrefixToStrip = "com.velora.ovik.";
  return options;
}

}  // namespace Zyl::Bindings
