// The one codec between API records and JSON. Records are plain structs described with
// Boost.Describe; enumerations are described enums and travel as their value names.
//
// Value mapping: std::string ↔ string; integral (not bool) ↔ integer (range checked); bool ↔
// boolean; std::vector<uint8_t> ↔ Base64 string; std::vector<T> / std::set<T> ↔ array;
// std::optional<T> ↔ absent or null member; std::map<std::string, std::string> ↔ object of strings;
// described struct ↔ object; described enum ↔ name (an enum with an enumerator UNKNOWN decodes any
// other name to it); boost::json::value passes through; Mirel::Message ↔ {id, defaultMessage,
// args}.
//
// Decoding is strict: a missing required member, a wrong JSON type, an unknown member or an unknown
// enumeration name fails with the path of the faulty member ("spec.keyServer.servers[1].name").
// Recursion follows the C++ type, never the input, so its depth is bounded by the record's nesting.
#pragma once

#include <mirel/provider.h>

#include <harlibs/secure.h>

#include <boost/describe.hpp>
#include <boost/describe/enumerators.hpp>
#include <boost/describe/members.hpp>
#include <boost/json.hpp>
#include <boost/mp11/algorithm.hpp>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace Mirel {
BOOST_DESCRIBE_STRUCT(Message, (), (id, defaultMessage, args))
namespace L10n {
class Localizer;
}
}  // namespace Mirel

namespace Mirel::Codec {

// Why decoding failed and where: `path` names the member ("" for the top-level value).
struct DecodeError {
  std::string path;
  std::string reason;
};

// Options of encoding: with a localizer, messages get their rendered text as defaultMessage.
struct EncodeOptions {
  const L10n::Localizer* localizer = nullptr;
};

// Binary members: Base64 (standard alphabet, padded, canonical) of the bytes.
std::string EncodeBase64(const std::vector<uint8_t>& bytes);
bool DecodeBase64(std::string_view text, std::vector<uint8_t>& out);
// The message as JSON, rendered through the localizer when one is given.
boost::json::value EncodeMessage(const Message& message, const EncodeOptions& options);
// Overwrites the bytes of every string value in the tree, in place (member names are kept).
void WipeJsonTexts(boost::json::value& value);

namespace Detail {

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <class T>
struct IsSet : std::false_type {};
template <class T>
struct IsSet<std::set<T>> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
constexpr bool kIsStruct = boost::describe::has_describe_members<T>::value && !std::is_union_v<T>;
template <class T>
constexpr bool kIsEnum = boost::describe::has_describe_enumerators<T>::value;

// Prepends one path segment (a member name or "[i]") to the path of an error found deeper.
void PrependMember(DecodeError& error, std::string_view member);
void PrependIndex(DecodeError& error, size_t index);
bool Fail(DecodeError& error, const char* reason);

template <class E>
constexpr bool HasUnknownMarker() {
  bool found = false;
  boost::mp11::mp_for_each<boost::describe::describe_enumerators<E>>(
      [&](auto d) { found = found || std::string_view(d.name) == "UNKNOWN"; });
  return found;
}

}  // namespace Detail

template <class T>
bool Decode(const boost::json::value& json, T& out, DecodeError& error);
template <class T>
boost::json::value Encode(const T& value, const EncodeOptions& options = {});

namespace Detail {

template <class T>
bool DecodeStruct(const boost::json::value& json, T& out, DecodeError& error) {
  const auto* object = json.if_object();
  if (object == nullptr) {
    return Fail(error, "expected an object");
  }
  bool ok = true;
  size_t matched = 0;
  boost::mp11::mp_for_each<boost::describe::describe_members<T, boost::describe::mod_public>>(
      [&](auto d) {
        if (!ok) {
          return;
        }
        using M = std::remove_cvref_t<decltype(out.*d.pointer)>;
        const auto* member = object->if_contains(d.name);
        if (member != nullptr) {
          ++matched;
        }
        if (member == nullptr || (member->is_null() && IsOptional<M>::value)) {
          if constexpr (IsOptional<M>::value) {
            (out.*d.pointer).reset();
          } else {
            ok = Fail(error, "missing member");
            PrependMember(error, d.name);
          }
          return;
        }
        if (!Decode(*member, out.*d.pointer, error)) {
          PrependMember(error, d.name);
          ok = false;
        }
      });
  if (ok && matched != object->size()) {
    for (const auto& entry : *object) {
      bool known = false;
      boost::mp11::mp_for_each<boost::describe::describe_members<T, boost::describe::mod_public>>(
          [&](auto d) { known = known || entry.key() == d.name; });
      if (!known) {
        Fail(error, "unknown member");
        PrependMember(error, entry.key());
        return false;
      }
    }
  }
  return ok;
}

template <class E>
bool DecodeEnum(const boost::json::value& json, E& out, DecodeError& error) {
  const auto* text = json.if_string();
  if (text == nullptr) {
    return Fail(error, "expected an enumeration name");
  }
  bool found = false;
  boost::mp11::mp_for_each<boost::describe::describe_enumerators<E>>([&](auto d) {
    if (!found && *text == d.name) {
      out = d.value;
      found = true;
    }
  });
  if (found) {
    return true;
  }
  if constexpr (HasUnknownMarker<E>()) {
    out = E::UNKNOWN;
    return true;
  }
  return Fail(error, "unknown enumeration value");
}

template <class C>
bool DecodeArray(const boost::json::value& json, C& out, DecodeError& error) {
  const auto* array = json.if_array();
  if (array == nullptr) {
    return Fail(error, "expected an array");
  }
  out.clear();
  size_t index = 0;
  for (const auto& element : *array) {
    typename C::value_type item{};
    if (!Decode(element, item, error)) {
      PrependIndex(error, index);
      return false;
    }
    if constexpr (IsSet<C>::value) {
      out.insert(std::move(item));
    } else {
      out.push_back(std::move(item));
    }
    ++index;
  }
  return true;
}

template <class I>
bool DecodeInteger(const boost::json::value& json, I& out, DecodeError& error) {
  if (json.is_int64()) {
    const int64_t v = json.get_int64();
    if (std::cmp_less(v, std::numeric_limits<I>::min()) ||
        std::cmp_greater(v, std::numeric_limits<I>::max())) {
      return Fail(error, "integer out of range");
    }
    out = static_cast<I>(v);
    return true;
  }
  if (json.is_uint64()) {
    const uint64_t v = json.get_uint64();
    if (std::cmp_greater(v, std::numeric_limits<I>::max())) {
      return Fail(error, "integer out of range");
    }
    out = static_cast<I>(v);
    return true;
  }
  return Fail(error, "expected an integer");
}

}  // namespace Detail

// Decodes `json` into `out`; on failure returns false with `error` naming the faulty member.
template <class T>
bool Decode(const boost::json::value& json, T& out, DecodeError& error) {
  using namespace Detail;
  if constexpr (std::is_same_v<T, boost::json::value>) {
    out = json;
    return true;
  } else if constexpr (std::is_same_v<T, std::string>) {
    const auto* text = json.if_string();
    if (text == nullptr) {
      return Fail(error, "expected a string");
    }
    out.assign(text->data(), text->size());
    return true;
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!json.is_bool()) {
      return Fail(error, "expected a boolean");
    }
    out = json.get_bool();
    return true;
  } else if constexpr (std::is_integral_v<T>) {
    return DecodeInteger(json, out, error);
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    const auto* text = json.if_string();
    if (text == nullptr || !DecodeBase64(std::string_view(text->data(), text->size()), out)) {
      return Fail(error, "expected Base64 text");
    }
    return true;
  } else if constexpr (IsVector<T>::value || IsSet<T>::value) {
    return DecodeArray(json, out, error);
  } else if constexpr (IsOptional<T>::value) {
    if (json.is_null()) {
      out.reset();
      return true;
    }
    typename T::value_type inner{};
    if (!Decode(json, inner, error)) {
      return false;
    }
    out = std::move(inner);
    return true;
  } else if constexpr (std::is_same_v<T, std::map<std::string, std::string>>) {
    const auto* object = json.if_object();
    if (object == nullptr) {
      return Fail(error, "expected an object");
    }
    out.clear();
    for (const auto& entry : *object) {
      std::string text;
      if (!Decode(entry.value(), text, error)) {
        PrependMember(error, entry.key());
        return false;
      }
      out.emplace(std::string(entry.key()), std::move(text));
    }
    return true;
  } else if constexpr (kIsEnum<T>) {
    return DecodeEnum(json, out, error);
  } else if constexpr (kIsStruct<T>) {
    return DecodeStruct(json, out, error);
  } else {
    static_assert(sizeof(T) == 0, "type not supported by the codec");
  }
}

// Overwrites the texts and bytes a decoded record holds (strings, binary members, map values, the
// strings of passed-through JSON) and empties its strings and binary members: decoded records can
// carry passwords and keys. Strings and binary members are overwritten up to their capacity, so a
// moved-from string's inline buffer is wiped too.
// Numbers, booleans, enumerations and set elements are left as they are.
template <class T>
void WipeTexts(T& value) {
  using namespace Detail;
  if constexpr (std::is_same_v<T, std::string>) {
    value.resize(value.capacity());
    Har::Cleanse(value.data(), value.size());
    value.clear();
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    value.resize(value.capacity());
    Har::Cleanse(value.data(), value.size());
    value.clear();
  } else if constexpr (std::is_same_v<T, boost::json::value>) {
    WipeJsonTexts(value);
  } else if constexpr (IsVector<T>::value) {
    for (auto& item : value) WipeTexts(item);
  } else if constexpr (IsOptional<T>::value) {
    if (value) WipeTexts(*value);
  } else if constexpr (std::is_same_v<T, std::map<std::string, std::string>>) {
    for (auto& entry : value) WipeTexts(entry.second);
  } else if constexpr (kIsStruct<T>) {
    boost::mp11::mp_for_each<boost::describe::describe_members<T, boost::describe::mod_public>>(
        [&](auto d) { WipeTexts(value.*d.pointer); });
  }
}

// Encodes `value`; optional members without a value are left out.
template <class T>
boost::json::value Encode(const T& value, const EncodeOptions& options) {
  using namespace Detail;
  if constexpr (std::is_same_v<T, boost::json::value>) {
    return value;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return boost::json::value(boost::json::string_view(value.data(), value.size()));
  } else if constexpr (std::is_same_v<T, bool>) {
    return boost::json::value(value);
  } else if constexpr (std::is_integral_v<T>) {
    return boost::json::value(static_cast<int64_t>(value));
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    return boost::json::value(EncodeBase64(value));
  } else if constexpr (IsVector<T>::value || IsSet<T>::value) {
    boost::json::array array;
    array.reserve(value.size());
    for (const auto& item : value) {
      array.push_back(Encode(item, options));
    }
    return array;
  } else if constexpr (IsOptional<T>::value) {
    return value ? Encode(*value, options) : boost::json::value(nullptr);
  } else if constexpr (std::is_same_v<T, std::map<std::string, std::string>>) {
    boost::json::object object;
    for (const auto& [k, v] : value) {
      object.emplace(k, v);
    }
    return object;
  } else if constexpr (std::is_same_v<T, Message>) {
    return EncodeMessage(value, options);
  } else if constexpr (kIsEnum<T>) {
    const char* name = boost::describe::enum_to_string(value, nullptr);
    return name != nullptr ? boost::json::value(name) : boost::json::value(nullptr);
  } else if constexpr (kIsStruct<T>) {
    boost::json::object object;
    boost::mp11::mp_for_each<boost::describe::describe_members<T, boost::describe::mod_public>>(
        [&](auto d) {
          using M = std::remove_cvref_t<decltype(value.*d.pointer)>;
          if constexpr (IsOptional<M>::value) {
            if (!(value.*d.pointer).has_value()) {
              return;
            }
          }
          object.emplace(d.name, Encode(value.*d.pointer, options));
        });
    return object;
  } else {
    static_assert(sizeof(T) == 0, "type not supported by the codec");
  }
}

}  // namespace Mirel::Codec
