// Type descriptions of API records for the metadata: a field type is "string", "long", "boolean",
// "binary", "any", {"list": T}, {"set": T}, {"optional": T}, {"map": "string"}, {"structure": name}
// or {"enumeration": name}. Structures and enumerations met on the way are collected in the
// registry under their C++ names ("Com::Velora::Ovik::Kms::ProvidersSvc::CreateSpec").
#pragma once

#include <mirel/codec.h>

#include <boost/core/demangle.hpp>
#include <boost/json.hpp>

#include <string>
#include <typeinfo>

namespace Mirel::Metadata {

struct TypeRegistry {
  boost::json::object structures;    // name → {"fields": [{"name", "type"}]}
  boost::json::object enumerations;  // name → {"values": [names]}
};

template <class T>
std::string TypeName() {
  return boost::core::demangle(typeid(T).name());
}

template <class T>
boost::json::value DescribeType(TypeRegistry& registry);

// {"fields": [{"name": member, "type": description}]} of a described struct.
template <class T>
boost::json::value DescribeFields(TypeRegistry& registry) {
  boost::json::array fields;
  boost::mp11::mp_for_each<
      boost::describe::describe_members<T, boost::describe::mod_public>>([&](auto d) {
    using M = std::remove_cvref_t<decltype(std::declval<T&>().*d.pointer)>;
    fields.push_back(boost::json::object{{"name", d.name}, {"type", DescribeType<M>(registry)}});
  });
  return boost::json::object{{"fields", std::move(fields)}};
}

template <class T>
boost::json::value DescribeType(TypeRegistry& registry) {
  using namespace Codec::Detail;
  if constexpr (std::is_same_v<T, boost::json::value>) {
    return "any";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "string";
  } else if constexpr (std::is_same_v<T, bool>) {
    return "boolean";
  } else if constexpr (std::is_integral_v<T>) {
    return "long";
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    return "binary";
  } else if constexpr (IsVector<T>::value) {
    return boost::json::object{{"list", DescribeType<typename T::value_type>(registry)}};
  } else if constexpr (IsSet<T>::value) {
    return boost::json::object{{"set", DescribeType<typename T::value_type>(registry)}};
  } else if constexpr (IsOptional<T>::value) {
    return boost::json::object{{"optional", DescribeType<typename T::value_type>(registry)}};
  } else if constexpr (std::is_same_v<T, std::map<std::string, std::string>>) {
    return boost::json::object{{"map", "string"}};
  } else if constexpr (kIsEnum<T>) {
    const std::string name = TypeName<T>();
    if (!registry.enumerations.contains(name)) {
      boost::json::array values;
      boost::mp11::mp_for_each<boost::describe::describe_enumerators<T>>(
          [&](auto d) { values.push_back(boost::json::string(d.name)); });
      registry.enumerations[name] = boost::json::object{{"values", std::move(values)}};
    }
    return boost::json::object{{"enumeration", name}};
  } else if constexpr (kIsStruct<T>) {
    const std::string name = TypeName<T>();
    if (!registry.structures.contains(name)) {
      registry.structures[name] = nullptr;  // marks it in progress
      registry.structures[name] = DescribeFields<T>(registry);
    }
    return boost::json::object{{"structure", name}};
  } else {
    static_assert(sizeof(T) == 0, "type not supported by the codec");
  }
}

}  // namespace Mirel::Metadata
