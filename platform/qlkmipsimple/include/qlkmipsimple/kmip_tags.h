// KMIP 1.1 tag and enumeration values used by the client and by its test server.
#ifndef QLKMIPSIMPLE_KMIP_TAGS_H
#define QLKMIPSIMPLE_KMIP_TAGS_H

#include <cstdint>

namespace Qlkmip::Tag {
constexpr uint32_t Attribute = 0x420008;
constexpr uint32_t AttributeName = 0x42000A;
constexpr uint32_t AttributeValue = 0x42000B;
constexpr uint32_t Authentication = 0x42000C;
constexpr uint32_t BatchCount = 0x42000D;
constexpr uint32_t BatchItem = 0x42000F;
constexpr uint32_t Credential = 0x420023;
constexpr uint32_t CredentialType = 0x420024;
constexpr uint32_t CredentialValue = 0x420025;
constexpr uint32_t CryptographicAlgorithm = 0x420028;
constexpr uint32_t CryptographicLength = 0x42002A;
constexpr uint32_t KeyBlock = 0x420040;
constexpr uint32_t KeyCompressionType = 0x420041;
constexpr uint32_t KeyFormatType = 0x420042;
constexpr uint32_t KeyMaterial = 0x420043;
constexpr uint32_t KeyValue = 0x420045;
constexpr uint32_t KeyWrappingData = 0x420046;
constexpr uint32_t ObjectType = 0x420057;
constexpr uint32_t Operation = 0x42005C;
constexpr uint32_t ProtocolVersion = 0x420069;
constexpr uint32_t ProtocolVersionMajor = 0x42006A;
constexpr uint32_t ProtocolVersionMinor = 0x42006B;
constexpr uint32_t RequestHeader = 0x420077;
constexpr uint32_t RequestMessage = 0x420078;
constexpr uint32_t RequestPayload = 0x420079;
constexpr uint32_t ResponseHeader = 0x42007A;
constexpr uint32_t ResponseMessage = 0x42007B;
constexpr uint32_t ResponsePayload = 0x42007C;
constexpr uint32_t ResultMessage = 0x42007D;
constexpr uint32_t ResultReason = 0x42007E;
constexpr uint32_t ResultStatus = 0x42007F;
constexpr uint32_t SymmetricKey = 0x42008F;
constexpr uint32_t TimeStamp = 0x420092;
constexpr uint32_t UniqueBatchItemId = 0x420093;
constexpr uint32_t UniqueIdentifier = 0x420094;
constexpr uint32_t Username = 0x420099;
constexpr uint32_t Password = 0x4200A1;
}  // namespace Qlkmip::Tag

namespace Qlkmip::Kmip {
enum class Operation : uint32_t { Get = 0x0A, GetAttributes = 0x0B, DiscoverVersions = 0x1E };
constexpr uint32_t kObjectTypeSymmetricKey = 2;
constexpr uint32_t kKeyFormatRaw = 1;
constexpr uint32_t kCredentialUsernamePassword = 1;
constexpr uint32_t kResultSuccess = 0;
constexpr uint32_t kResultOperationFailed = 1;
}  // namespace Qlkmip::Kmip

#endif
