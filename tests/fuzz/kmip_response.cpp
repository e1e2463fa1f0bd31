// Fuzz target: a key server's answer as the caller of the C interface reads it. The first byte
// picks the command that was sent (Get with its State query, Get Attributes or Discover
// Versions); the rest is the response message, decoded within the session's size limit and
// interpreted into a result. Every value is then read through qlc_find, qlc_next and
// qlc_value_of in each format: a read succeeds exactly for the node's own type, hands out a
// terminated copy of the right length, and a successful command has what it promises.
#include <qlkmipsimple.h>
#include <qlkmipsimple/ttlv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kmip_messages.h"
#include "result_tree.h"
#include "session.h"

namespace {

using Qlkmip::Kmip::Operation;

constexpr Operation kOperations[] = {Operation::Get, Operation::GetAttributes,
                                     Operation::DiscoverVersions};

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

Qlkmip::Kmip::Reply Interpret(Operation operation, const uint8_t* data, size_t size) {
  Qlkmip::Ttlv::Item message;
  Qlkmip::Ttlv::Limits limits;
  limits.maxSize = Qlkmip::kMaxResponseSize;
  const Har::Status decoded = Qlkmip::Ttlv::Decode(data, size, limits, &message);
  if (!decoded) {
    return Qlkmip::Kmip::Reply{QLC_BAD_RESPONSE, decoded.message(), nullptr};
  }
  if (operation == Operation::Get) {
    return std::move(Qlkmip::Kmip::InterpretGetWithState(message).get);
  }
  return Qlkmip::Kmip::InterpretResponse(message, operation);
}

// Reads NODE in every format; only its own type reads, as a terminated copy of its bytes.
void ReadEveryFormat(const qlc_node* node) {
  int number = 0;
  Check((qlc_value_of(nullptr, node, "d", &number) == QLC_OK) ==
        (node->kind == qlc_node::Kind::Integer));
  void* bytes = nullptr;
  int32_t length = -1;
  const int bytesStatus = qlc_value_of("", node, "bs", &bytes, &length);
  Check((bytesStatus == QLC_OK) == (node->kind == qlc_node::Kind::Bytes));
  if (bytesStatus == QLC_OK) {
    Check(length >= 0 && static_cast<size_t>(length) == node->bytes.size());
    Check(static_cast<const char*>(bytes)[length] == '\0');
  }
  qlc_free(bytes);
  void* text = nullptr;
  const int textStatus = qlc_value_of(nullptr, node, "%s", &text);
  Check((textStatus == QLC_OK) == (node->kind == qlc_node::Kind::Text));
  if (textStatus == QLC_OK) {
    Check(static_cast<const char*>(text)[node->bytes.size()] == '\0');
  }
  qlc_free(text);
  Check(qlc_value_of(nullptr, node, "x", &text) == QLC_BAD_ARGUMENT);
}

void ReadTree(const qlc_node* node, int depth) {
  Check(depth <= Qlkmip::Ttlv::Limits{}.maxDepth + 2);
  ReadEveryFormat(node);
  for (const auto& child : node->children) {
    ReadTree(child.get(), depth + 1);
  }
}

// What a successful command promises its caller.
void CheckPromises(Operation operation, const qlc_result& result) {
  if (operation == Operation::Get) {
    void* key = nullptr;
    int32_t length = 0;
    Check(qlc_value_of("Symmetric_Key/Key", &result, "bs", &key, &length) == QLC_OK);
    int bits = 0;
    Check(qlc_value_of("Symmetric_Key/Length", &result, "d", &bits) == QLC_OK &&
          bits == length * 8);
    qlc_free(key);
  }
  if (operation == Operation::DiscoverVersions) {
    for (const qlc_node* v = qlc_find("Versions/", &result); v != nullptr; v = qlc_next(v)) {
      void* text = nullptr;
      Check(qlc_value_of(nullptr, v, "%s", &text) == QLC_OK);
      Check(std::strchr(static_cast<const char*>(text), '.') != nullptr);
      qlc_free(text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const Operation operation = kOperations[data[0] % std::size(kOperations)];
  Qlkmip::Kmip::Reply reply = Interpret(operation, data + 1, size - 1);
  Check((reply.status == QLC_OK) == (reply.tree != nullptr));
  Check(reply.status == QLC_OK || !reply.explain.empty());
  qlc_result result;
  result.status = reply.status;
  result.explain = std::move(reply.explain);
  if (reply.tree) {
    result.root = std::move(reply.tree);
  }
  Check(qlc_ok(&result) == result.status);
  if (result.status == QLC_OK) {
    ReadTree(result.root.get(), 0);
    CheckPromises(operation, result);
  }
  return 0;
}
