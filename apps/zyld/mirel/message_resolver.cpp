#include "mirel/message_resolver.h"

#include <harlibs/log.h>

#include <array>
#include <utility>

namespace Zyld::ZylApi {
namespace {

struct Entry {
  std::string id;
  std::string text;
};

// Searched in this order; the first equal identifier wins.
const std::array<Entry, 39>& Catalogue() {
  static const std::array<Entry, 39> kCatalogue = {{
      {"com.velora.ovik.kms.authentication.invalid_token", "Invalid Token."},
      {"com.velora.ovik.kms.cert_format_unknown", "Unable to determine the certificate format."},
      {"com.velora.ovik.kms.invalid_config_value",
       "Invalid value is found for {parameter} in the configuration."},
      {"com.velora.ovik.kms.key_server_timeout",
       "Timed out waiting for response from key server {server}."},
      {"com.velora.ovik.kms.key_server_communication_error",
       "Unable to communicate with key server {server}."},
      {"com.velora.ovik.kms.keyoperationsvc.generatekey.error", "Unable to generate a new key."},
      {"com.velora.ovik.kms.keyoperationsvc.decrypt.error", "Unable to decrypt the ciphertext."},
      {"com.velora.ovik.kms.master_key_not_found",
       "Unable to find the master key on key server {server}."},
      {"com.velora.ovik.kms.master_key_pre_active",
       "The master key on key server {server} is in pre-active state and needs to be activated."},
      {"com.velora.ovik.kms.master_key_unusable_for_encryption",
       "The master key on key server {server} is deactivated or compromised. It can be used for "
       "decryption only and cannot be used for encryption."},
      {"com.velora.ovik.kms.master_key_unusable",
       "The master key on key server {server} is destroyed or destroyed-compromised and cannot be "
       "used for encryption or decryption."},
      {"com.velora.ovik.kms.master_key_length_unsupported",
       "The master key length is not supported by key server {server}."},
      {"com.velora.ovik.kms.no_versions_found",
       "Unable to determine the versions supported by key server {server}."},
      {"com.velora.ovik.kms.no_supported_versions",
       "No known version is being supported by key server {server}."},
      {"com.velora.ovik.kms.providers.already_exists", "The provider '{provider}' already exists."},
      {"com.velora.ovik.kms.providers.config_store_error", "Unable to update configuration."},
      {"com.velora.ovik.kms.providers.crypto_error.create",
       "Unable to create client certificate or key."},
      {"com.velora.ovik.kms.providers.csr_error", "Certificate signing request failed."},
      {"com.velora.ovik.kms.providers.firewall_error", "Unable to update firewall."},
      {"com.velora.ovik.kms.providers.invalid_argument",
       "A specified parameter was not correct: '{parameter}'."},
      {"com.velora.ovik.kms.providers.not_found", "The provider '{provider}' does not exist."},
      {"com.velora.ovik.kms.providers.private_key_mismatch",
       "Client certificate and private key do not match."},
      {"com.velora.ovik.kms.providers.private_key_unknown",
       "Client certificate does not correspond to a certificate signing request, private key must "
       "be supplied."},
      {"com.velora.ovik.kms.providers.server_certs.limit_error",
       "Number of server certificates cannot exceed {num}."},
      {"com.velora.ovik.kms.raw_config.config_store_error", "Unable to update configuration."},
      {"com.velora.ovik.kms.raw_config.compress_error", "Failed to compress the configuration."},
      {"com.velora.ovik.kms.raw_config.invalid_provider",
       "The provider '{provider}' in the configuration is not valid: {member}."},
      {"com.velora.ovik.kms.raw_config.unknown_infotype",
       "Unknown info type requested for raw config."},
      {"com.velora.ovik.kms.providers.server_certificates.remotesvc.list.error",
       "Unable to get certificate from the server {server}."},
      {"com.velora.ovik.kms.server_cert_not_required",
       "Key server {server} did not request a certificate."},
      {"com.velora.ovik.kms.providers.server_certificate.failed",
       "Unable to fetch and check the expiry of server certificate. Reason: {reason}"},
      {"com.velora.ovik.kms.providers.statussvc.client_certificate_expiring",
       "Client certificate is expiring within {days} days."},
      {"com.velora.ovik.kms.providers.statussvc.client_certificate_unknown_expiry",
       "Unable to fetch and check the expiry of client certificate."},
      {"com.velora.ovik.kms.providers.statussvc.client_not_trusting_server",
       "Client is unable to trust the server {server}."},
      {"com.velora.ovik.kms.providers.statussvc.get.error",
       "Unable to get status information from server {server}."},
      {"com.velora.ovik.kms.providers.statussvc.server_certificate_expiring",
       "Server certificate is expiring within {days} days."},
      {"com.velora.ovik.kms.providers.statussvc.server_certificate_unknown_expiry",
       "Unable to fetch and check the expiry of server certificate of server {server}."},
      {"com.velora.ovik.kms.providers.statussvc.server_not_trusting_client",
       "Server {server} is unable to trust the client."},
      {"com.velora.ovik.kms.providers.statussvc.trusted_server_certificates.unknown",
       "Unable to find trusted server certificates."},
  }};
  return kCatalogue;
}

const Entry* Find(std::string_view id) {
  for (const auto& entry : Catalogue()) {
    if (entry.id == id) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

const std::string& ResolveMessage(std::string_view id) {
  const Entry* entry = Find(id);
  if (entry == nullptr) {
    NOT_REACHED();
  }
  return entry->text;
}

bool IsCatalogued(std::string_view id) { return Find(id) != nullptr; }

size_t CatalogueSize() { return Catalogue().size(); }

std::string_view CatalogueId(size_t index) { return Catalogue().at(index).id; }

std::shared_ptr<const Mirel::L10n::Localizer> MakeLocalizer() {
  return std::make_shared<const Mirel::L10n::Localizer>(
      "en_US", [](const std::string& id) { return ResolveMessage(id); });
}

}  // namespace Zyld::ZylApi
