// JSON encoding and decoding of configuration objects and of the export text.
#include "codec.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <harlibs/secure.h>
#include <harlibs/wiping_json.h>

#include <initializer_list>
#include <new>
#include <set>

namespace json = boost::json;

namespace OvikConfigStore::Codec {

namespace {

json::parse_options ParseOptions() {
  json::parse_options opts;
  opts.max_depth = 2 * kMaxSubObjectDepth + 8;
  return opts;
}

// ---- encoding ----

class Encoder {
 public:
  explicit Encoder(const ConfigStoreObjectId& top) : top_(top) {}

  void CheckId() const {
    CheckName(top_.key, "key", false);
    CheckName(top_.group, "group", true);
    CheckName(top_.component, "component", true);
    CheckName(top_.instance, "instance", true);
  }

  void AddContent(json::object& out, const ConfigStoreObject& obj, int depth) const {
    json::object values(Har::WipingJsonStorage());
    for (const auto& [name, value] : obj.Values()) {
      CheckName(name, "value name", false);
      values.emplace(name, EncodeValue(value));
    }
    out.emplace("values", std::move(values));
    json::array subs(Har::WipingJsonStorage());
    for (const auto& sub : obj.SubObjects()) {
      if (depth >= kMaxSubObjectDepth) {
        Fail("sub-objects nested more than " + std::to_string(kMaxSubObjectDepth) + " deep");
      }
      const ConfigStoreObjectId& id = sub->GetConfigStoreObjectId();
      CheckName(id.key, "sub-object name", false);
      CheckName(id.instance, "sub-object instance", true);
      json::object o(Har::WipingJsonStorage());
      o.emplace("name", id.key);
      o.emplace("instance", id.instance);
      AddContent(o, *sub, depth + 1);
      subs.emplace_back(std::move(o));
    }
    out.emplace("subObjects", std::move(subs));
  }

 private:
  [[noreturn]] void Fail(const std::string& cause) const {
    throw ConfigStoreException("object " + top_.ToString() + ": " + cause);
  }

  void CheckName(const std::string& s, const char* what, bool allowEmpty) const {
    if (s.empty() && !allowEmpty) {
      Fail(std::string("empty ") + what);
    }
    if (s.size() > kMaxNameLength) {
      Fail(std::string(what) + " longer than " + std::to_string(kMaxNameLength) + " bytes");
    }
    if (!IsValidUtf8(s)) {
      Fail(std::string(what) + " is not valid UTF-8");
    }
  }

  void CheckString(const std::string& s) const {
    if (!IsValidUtf8(s)) {
      Fail("a string value is not valid UTF-8");
    }
  }

  json::value EncodeValue(const StoreObject::Value& v) const {
    if (const auto* s = std::get_if<std::string>(&v)) {
      CheckString(*s);
      return json::value(json::string_view(*s), Har::WipingJsonStorage());
    }
    if (const auto* i = std::get_if<int64_t>(&v)) {
      return json::value(*i, Har::WipingJsonStorage());
    }
    json::array a(Har::WipingJsonStorage());
    for (const auto& s : std::get<std::vector<std::string>>(v)) {
      CheckString(s);
      a.emplace_back(json::string_view(s));
    }
    return a;
  }

  const ConfigStoreObjectId& top_;
};

json::object TopLevelJson(const ConfigStoreObject& obj) {
  const ConfigStoreObjectId& id = obj.GetConfigStoreObjectId();
  Encoder enc(id);
  enc.CheckId();
  json::object o(Har::WipingJsonStorage());
  o.emplace("key", id.key);
  o.emplace("group", id.group);
  o.emplace("component", id.component);
  o.emplace("instance", id.instance);
  enc.AddContent(o, obj, 1);
  return o;
}

// ---- decoding ----

using Error = std::optional<std::string>;  // "path: cause"; nullopt on success

Error ExpectMembers(const json::value& v, std::initializer_list<const char*> names,
                    const std::string& path) {
  const json::object* o = v.if_object();
  if (o == nullptr) {
    return path + ": not a JSON object";
  }
  for (const char* n : names) {
    if (!o->contains(n)) {
      return path + ": missing member \"" + n + "\"";
    }
  }
  if (o->size() != names.size()) {
    return path + ": unexpected members";
  }
  return std::nullopt;
}

Error GetName(const json::object& o, const char* member, const std::string& path, bool allowEmpty,
              std::string& out) {
  const json::string* s = o.at(member).if_string();
  if (s == nullptr) {
    return path + "." + member + ": not a string";
  }
  if (s->empty() && !allowEmpty) {
    return path + "." + member + ": empty";
  }
  if (s->size() > kMaxNameLength) {
    return path + "." + member + ": longer than " + std::to_string(kMaxNameLength) + " bytes";
  }
  out.assign(s->data(), s->size());
  return std::nullopt;
}

Error DecodeValue(const json::value& v, const std::string& path, StoreObject::Value& out) {
  if (const json::string* s = v.if_string()) {
    out = std::string(s->data(), s->size());
    return std::nullopt;
  }
  if (const int64_t* i = v.if_int64()) {
    out = *i;
    return std::nullopt;
  }
  const json::array* a = v.if_array();
  if (a == nullptr) {
    return path + ": not a string, integer or array of strings";
  }
  std::vector<std::string> list;
  list.reserve(a->size());
  for (const json::value& e : *a) {
    const json::string* s = e.if_string();
    if (s == nullptr) {
      return path + ": array element is not a string";
    }
    list.emplace_back(s->data(), s->size());
  }
  out = std::move(list);
  return std::nullopt;
}

Error DecodeContent(const json::object& o, ConfigStoreObject& target, int depth,
                    const std::string& path);

Error DecodeSubObject(const json::value& v, ConfigStoreObject& parent, int depth,
                      const std::string& path) {
  if (depth > kMaxSubObjectDepth) {
    return path + ": sub-objects nested too deeply";
  }
  if (Error e = ExpectMembers(v, {"name", "instance", "values", "subObjects"}, path)) {
    return e;
  }
  const json::object& o = v.get_object();
  SubObjectId id;
  if (Error e = GetName(o, "name", path, false, id.name)) {
    return e;
  }
  if (Error e = GetName(o, "instance", path, true, id.instance)) {
    return e;
  }
  if (parent.GetSubObject(id) != nullptr) {
    return path + ": duplicate sub-object " + id.name + "[" + id.instance + "]";
  }
  return DecodeContent(o, *parent.CreateSubObject(id), depth, path);
}

Error DecodeContent(const json::object& o, ConfigStoreObject& target, int depth,
                    const std::string& path) {
  const json::object* values = o.at("values").if_object();
  if (values == nullptr) {
    return path + ".values: not a JSON object";
  }
  for (const auto& kv : *values) {
    const std::string name(kv.key());
    const std::string vpath = path + ".values." + name;
    if (name.empty() || name.size() > kMaxNameLength) {
      return vpath + ": bad value name";
    }
    StoreObject::Value value;
    if (Error e = DecodeValue(kv.value(), vpath, value)) {
      return e;
    }
    std::visit([&](auto&& v) { target.SetValue(name, std::move(v)); }, std::move(value));
  }
  const json::array* subs = o.at("subObjects").if_array();
  if (subs == nullptr) {
    return path + ".subObjects: not a JSON array";
  }
  for (std::size_t i = 0; i < subs->size(); ++i) {
    const std::string spath = path + ".subObjects[" + std::to_string(i) + "]";
    if (Error e = DecodeSubObject((*subs)[i], target, depth + 1, spath)) {
      return e;
    }
  }
  return std::nullopt;
}

Error ParseText(std::string_view text, json::value& out,
                json::storage_ptr storage = Har::WipingJsonStorage()) {
  if (text.size() > kMaxTextSize) {
    return "text: larger than " + std::to_string(kMaxTextSize) + " bytes";
  }
  json::error_code ec;
  out = json::parse(json::string_view(text.data(), text.size()), ec, std::move(storage),
                    ParseOptions());
  if (ec) {
    return "text: not valid JSON (" + ec.message() + ")";
  }
  return std::nullopt;
}

Error DecodeSelection(const json::object& root, ConfigStoreObjectId& sel) {
  if (Error e = ExpectMembers(root.at("selection"), {"key", "group", "component"}, "selection")) {
    return e;
  }
  const json::object& s = root.at("selection").get_object();
  if (Error e = GetName(s, "key", "selection", false, sel.key)) {
    return e;
  }
  if (Error e = GetName(s, "group", "selection", true, sel.group)) {
    return e;
  }
  return GetName(s, "component", "selection", true, sel.component);
}

Error DecodeHeader(const json::value& root, ConfigStoreObjectId& sel) {
  if (Error e = ExpectMembers(root, {"format", "version", "selection", "objects"}, "text")) {
    return e;
  }
  const json::object& o = root.get_object();
  const json::string* format = o.at("format").if_string();
  if (format == nullptr || *format != kExportFormat) {
    return std::string("format: not \"") + kExportFormat + "\"";
  }
  const int64_t* version = o.at("version").if_int64();
  if (version == nullptr || *version != kExportVersion) {
    return "version: unsupported (expected " + std::to_string(kExportVersion) + ")";
  }
  if (Error e = DecodeSelection(o, sel)) {
    return e;
  }
  if (!o.at("objects").is_array()) {
    return std::string("objects: not a JSON array");
  }
  return std::nullopt;
}

Error DecodeTopLevel(const json::value& v, const ConfigStoreObjectId& sel, const std::string& path,
                     std::shared_ptr<ConfigStoreObject>& out) {
  if (Error e = ExpectMembers(v, {"key", "group", "component", "instance", "values", "subObjects"},
                              path)) {
    return e;
  }
  const json::object& o = v.get_object();
  ConfigStoreObjectId id;
  for (auto [member, field] :
       {std::pair{"key", &id.key}, std::pair{"group", &id.group},
        std::pair{"component", &id.component}, std::pair{"instance", &id.instance}}) {
    if (Error e = GetName(o, member, path, true, *field)) {
      return e;
    }
  }
  if (id.key != sel.key || id.group != sel.group || id.component != sel.component) {
    return path + ": object " + id.ToString() + " is outside the selection";
  }
  out = std::make_shared<ConfigStoreObject>(id);
  return DecodeContent(o, *out, 1, path);
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      lo = c == 0xE0 ? 0xA0 : 0x80;
      hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      lo = c == 0xF0 ? 0x90 : 0x80;
      hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    if (end - p <= extra || p[1] < lo || p[1] > hi) {
      return false;
    }
    for (int i = 2; i <= extra; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) {
        return false;
      }
    }
    p += extra + 1;
  }
  return true;
}

std::string EncodeBody(const ConfigStoreObject& obj) {
  Encoder enc(obj.GetConfigStoreObjectId());
  enc.CheckId();
  json::object o(Har::WipingJsonStorage());
  enc.AddContent(o, obj, 1);
  std::string body = json::serialize(o);
  if (body.size() > kMaxTextSize) {
    Har::WipeGuard wipe(body);
    throw ConfigStoreException("object " + obj.GetConfigStoreObjectId().ToString() +
                               ": larger than " + std::to_string(kMaxTextSize) + " bytes");
  }
  return body;
}

std::shared_ptr<ConfigStoreObject> DecodeBody(const ConfigStoreObjectId& id,
                                              std::string_view body) {
  // A stored body is parsed into one arena (a stack buffer, then wiped blocks), wiped at the end.
  alignas(std::max_align_t) unsigned char arena[16384];
  Har::WipeGuard wipeArena(arena, sizeof arena);
  auto obj = std::make_shared<ConfigStoreObject>(id);
  Error e;
  {
    json::monotonic_resource resource(arena, sizeof arena, Har::WipingJsonStorage());
    json::value v;
    e = ParseText(body, v, json::storage_ptr(&resource));
    if (!e) {
      e = ExpectMembers(v, {"values", "subObjects"}, "body");
    }
    if (!e) {
      e = DecodeContent(v.get_object(), *obj, 1, "body");
    }
  }
  wipeArena.Wipe();
  if (e) {
    throw ConfigStoreException("object " + id.ToString() + ": stored data is malformed: " + *e);
  }
  return obj;
}

std::string ObjectText(const ConfigStoreObject& obj) { return json::serialize(TopLevelJson(obj)); }

std::string ExportText(const ConfigStoreObjectId& selection, const Objects& objects) {
  json::object root(Har::WipingJsonStorage());
  root.emplace("format", kExportFormat);
  root.emplace("version", kExportVersion);
  json::object sel(Har::WipingJsonStorage());
  sel.emplace("key", selection.key);
  sel.emplace("group", selection.group);
  sel.emplace("component", selection.component);
  root.emplace("selection", std::move(sel));
  json::array list(Har::WipingJsonStorage());
  for (const auto& obj : objects) {
    list.emplace_back(TopLevelJson(*obj));
  }
  root.emplace("objects", std::move(list));
  return json::serialize(root);
}

std::optional<ImportSet> ParseImport(std::string_view text, std::vector<ErrorInfo>& errors) {
  const std::size_t before = errors.size();
  json::value root;
  ImportSet set;
  Error e = ParseText(text, root);
  if (!e) {
    e = DecodeHeader(root, set.selection);
  }
  if (e) {
    errors.emplace_back("text", *e);
    return std::nullopt;
  }
  const json::array& list = root.get_object().at("objects").get_array();
  std::set<std::string> instances;
  for (std::size_t i = 0; i < list.size() && errors.size() - before < kMaxErrors; ++i) {
    const std::string path = "objects[" + std::to_string(i) + "]";
    std::shared_ptr<ConfigStoreObject> obj;
    if (Error oe = DecodeTopLevel(list[i], set.selection, path, obj)) {
      errors.emplace_back(path, *oe);
    } else if (!instances.insert(obj->GetConfigStoreObjectId().instance).second) {
      errors.emplace_back(path,
                          path + ": duplicate object " + obj->GetConfigStoreObjectId().ToString());
    } else {
      set.objects.push_back(std::move(obj));
    }
  }
  if (errors.size() != before) {
    return std::nullopt;
  }
  return set;
}

}  // namespace OvikConfigStore::Codec
