#include <mirel/authz.h>
#include <mirel/metadata.h>

#include "framework_ops.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <fstream>

namespace Mirel {
namespace Framework {

MethodResult NotFound(std::string_view kind, std::string_view id) {
  Message message{std::string(MessageIds::kNotFound),
                  {},
                  {{"kind", std::string(kind)}, {"id", std::string(id)}}};
  message.defaultMessage = L10n::Format(L10n::FrameworkTemplate(message.id), message.args);
  return MethodResult::Error(MakeErrorValue(ErrorTypes::kNotFound, {std::move(message)}));
}

}  // namespace Framework

namespace Metadata {
namespace {

constexpr size_t kMaxMetadataFileBytes = 16 * 1024 * 1024;
constexpr std::string_view kMetadataServicePrefix = "com.velora.mirel.metadata.";

boost::json::value Keys(const boost::json::value* collection) {
  boost::json::array keys;
  if (collection != nullptr && collection->is_object()) {
    for (const auto& entry : collection->get_object()) {
      keys.emplace_back(entry.key());
    }
  }
  return keys;
}

using Container = std::shared_ptr<const MetadataContainer>;

std::unique_ptr<Binding::BoundOperation> MakeSectionOperation(const Container& c,
                                                              const std::string& collection,
                                                              std::string_view op) {
  using namespace Framework;
  if (collection == "service.operation") {
    if (op == "list") {
      return MakeOperation<ServiceIdParams>([c](const ServiceIdParams& p) {
        const auto* ops = c->Item("service.operation", p.serviceId);
        return ops != nullptr ? MethodResult::Value(Keys(ops)) : NotFound("service", p.serviceId);
      });
    }
    return MakeOperation<OperationParams>([c](const OperationParams& p) {
      const auto* ops = c->Item("service.operation", p.serviceId);
      const auto* item = ops != nullptr && ops->is_object()
                             ? ops->get_object().if_contains(p.operationId)
                             : nullptr;
      return item != nullptr ? MethodResult::Value(*item)
                             : NotFound("operation", p.serviceId + "." + p.operationId);
    });
  }
  if (op == "list") {
    return MakeOperation<NoParams>([c, collection](const NoParams&) {
      return MethodResult::Value(Keys(c->Section().if_contains(collection)));
    });
  }
  if (op == "get") {
    return MakeOperation<IdParams>([c, collection](const IdParams& p) {
      const auto* item = c->Item(collection, p.id);
      return item != nullptr ? MethodResult::Value(*item) : NotFound(collection, p.id);
    });
  }
  return MakeOperation<NoParams>([c, collection](const NoParams&) {
    const auto* value = c->Section().if_contains(collection);
    const std::string text = value != nullptr ? boost::json::serialize(*value) : std::string();
    return MethodResult::Value(boost::json::object{{"fingerprint", Sha256Hex(text)}});
  });
}

Har::Status LoadSectionFile(const std::string& componentName, const std::string& path,
                            const char* kind, MetadataContainer& container) {
  boost::json::value document;
  if (Har::Status read = ProviderHelper::ReadMetadataFile(path, document); !read) {
    return read;
  }
  const auto* section = document.is_object() ? document.get_object().if_contains(kind) : nullptr;
  if (section == nullptr) {
    return Har::Status::Error(path + ": no \"" + kind + "\" section");
  }
  return container.Load(componentName, kind, *section);
}

}  // namespace

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xf]);
  }
  return hex;
}

Har::Status MetadataContainer::Load(std::string componentName, std::string kind,
                                    const boost::json::value& section) {
  if (!section.is_object()) {
    return Har::Status::Error("the \"" + kind + "\" section is not an object");
  }
  componentName_ = std::move(componentName);
  kind_ = std::move(kind);
  section_ = section.get_object();
  checksum_ = Sha256Hex(boost::json::serialize(section_));
  return Har::Status::Ok();
}

const boost::json::value* MetadataContainer::Item(std::string_view collection,
                                                  std::string_view id) const {
  const auto* items = section_.if_contains(collection);
  if (items == nullptr || !items->is_object()) {
    return nullptr;
  }
  return items->get_object().if_contains(id);
}

std::vector<Binding::BoundInterfacePtr> MetadataContainer::Interfaces() const {
  const std::string prefix = std::string(kMetadataServicePrefix) + kind_ + ".";
  std::vector<std::shared_ptr<Binding::TableInterface>> services;
  const Container self = shared_from_this();
  for (const auto& full : Authz::NoAuthenticationOperations()) {
    if (!full.starts_with(prefix)) {
      continue;
    }
    const size_t dot = full.rfind('.');
    const std::string serviceId = full.substr(0, dot);
    const std::string op = full.substr(dot + 1);
    auto it = std::find_if(services.begin(), services.end(),
                           [&](const auto& s) { return s->ServiceId() == serviceId; });
    if (it == services.end()) {
      services.push_back(std::make_shared<Binding::TableInterface>(serviceId));
      it = services.end() - 1;
    }
    (*it)->Add(op, MakeSectionOperation(self, serviceId.substr(prefix.size()), op));
  }
  return {services.begin(), services.end()};
}

Har::Status ProviderHelper::ReadMetadataFile(const std::string& path, boost::json::value& out) {
  const auto fail = [&](const std::string& text) { return Har::Status::Error(path + ": " + text); };
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return fail("cannot open the file");
  }
  std::string text;
  char buffer[8192];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxMetadataFileBytes) {
      return fail("the file is too large");
    }
  }
  boost::system::error_code ec;
  out = boost::json::parse(text, ec);
  if (ec) {
    return fail("not JSON: " + ec.message());
  }
  return Har::Status::Ok();
}

Har::Status ProviderHelper::LoadCliMetadataFile(const std::string& componentName,
                                                const std::string& path,
                                                MetadataContainer& container) {
  return LoadSectionFile(componentName, path, kCliSection, container);
}

Har::Status ProviderHelper::LoadMetamodelMetadataFile(const std::string& componentName,
                                                      const std::string& path,
                                                      MetadataContainer& container) {
  return LoadSectionFile(componentName, path, kMetamodelSection, container);
}

Har::Status ProviderHelper::LoadAuthenticationMetadataFile(const std::string& componentName,
                                                           const std::string& path,
                                                           MetadataContainer& container) {
  return LoadSectionFile(componentName, path, kAuthenticationSection, container);
}

}  // namespace Metadata
}  // namespace Mirel
