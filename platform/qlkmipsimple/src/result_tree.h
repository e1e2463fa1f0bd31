// The objects behind the opaque C handles: result nodes (a small named tree built from a KMIP
// response payload) and results (status, explanation, tree, presented server certificate).
// Both begin with a distinct tag word so that qlc_value_of can tell which one it was given.
#ifndef QLKMIPSIMPLE_RESULT_TREE_H
#define QLKMIPSIMPLE_RESULT_TREE_H

#include <harlibs/secure.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t kQlcNodeTag = 0x4e4c5143;    // "QCLN"
constexpr uint32_t kQlcResultTag = 0x524c5143;  // "QCLR"

struct qlc_node {
  enum class Kind { Group, Integer, Bytes, Text };

  uint32_t objectTag = kQlcNodeTag;
  Kind kind = Kind::Group;
  std::string name;
  int64_t integer = 0;
  Har::Secret bytes;  // Bytes and Text values
  std::vector<std::unique_ptr<qlc_node>> children;
  const qlc_node* next = nullptr;  // next sibling

  static std::unique_ptr<qlc_node> Group(std::string name);
  static std::unique_ptr<qlc_node> Integer(std::string name, int64_t value);
  static std::unique_ptr<qlc_node> Bytes(std::string name, const uint8_t* data, size_t size);
  static std::unique_ptr<qlc_node> Text(std::string name, std::string_view text);

  // Appends CHILD and links it after the previous last child; returns it.
  qlc_node* Add(std::unique_ptr<qlc_node> child);
  // Follows PATH ('/'-separated names; a trailing '/' selects the first child). Empty PATH
  // gives this node.
  const qlc_node* Follow(std::string_view path) const;
};

struct qlc_result {
  uint32_t objectTag = kQlcResultTag;
  int status = 0;
  std::string explain;
  // Reason of the last failed lookup on a successful result (qlc_explain shows it then).
  mutable std::string lookupError;
  std::unique_ptr<qlc_node> root = qlc_node::Group("");
  std::string presentedCertificatePem;
};

#endif
