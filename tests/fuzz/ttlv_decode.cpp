// Fuzz target: the bounded TTLV decoder and the KMIP response interpretation of every command,
// the batched Get-with-State answer included. A decoded message must re-encode to exactly the
// input bytes.
#include <qlkmipsimple.h>
#include <qlkmipsimple/ttlv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kmip_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Qlkmip::Ttlv::Item item;
  if (!Qlkmip::Ttlv::Decode(data, size, {}, &item)) {
    return 0;
  }
  const Har::Secret again = Qlkmip::Ttlv::Encode(item);
  if (again.size() != size || std::memcmp(again.data(), data, size) != 0) {
    std::abort();
  }
  using Qlkmip::Kmip::Operation;
  const Qlkmip::Kmip::PairedReply paired = Qlkmip::Kmip::InterpretGetWithState(item);
  if ((paired.get.status == 0) != (paired.get.tree != nullptr) ||
      (paired.state && paired.get.status == QLC_BAD_RESPONSE) ||
      (paired.state && (paired.state->status == 0) != (paired.state->tree != nullptr))) {
    std::abort();
  }
  for (Operation op : {Operation::Get, Operation::GetAttributes, Operation::DiscoverVersions}) {
    const Qlkmip::Kmip::Reply reply = Qlkmip::Kmip::InterpretResponse(item, op);
    if ((reply.status == 0) != (reply.tree != nullptr)) {
      std::abort();
    }
    if (reply.tree) {
      for (const char* path : {"Symmetric_Key/Key", "Attributes/State", "Versions/"}) {
        for (const qlc_node* n = reply.tree->Follow(path); n != nullptr; n = n->next) {
        }
      }
    }
  }
  return 0;
}
