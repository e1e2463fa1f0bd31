// KMIP 1.1 request encoding and response interpretation for the three commands the client
// sends. Requests carry Protocol Version 1.1, Batch Count 1, no Time Stamp and optionally a
// Username-and-Password Credential. A Get can also go out together with a Get Attributes
// "State" of the same object in one message (Batch Count 2, Unique Batch Item IDs 01 and 02);
// its answers are matched by those IDs. Responses are checked against the request's operation and
// turned into the named result tree:
//   Get             -> Symmetric_Key/{Key (bytes), Length (int), Algorithm (int)}
//   Get Attributes  -> Attributes/{State (int), only when the server returned it}
//   Discover Vers.  -> Versions/{Version ("major.minor" text)...}, absent when the list is empty
#ifndef QLKMIPSIMPLE_KMIP_MESSAGES_H
#define QLKMIPSIMPLE_KMIP_MESSAGES_H

#include <harlibs/secure.h>
#include <qlkmipsimple/kmip_tags.h>
#include <qlkmipsimple/ttlv.h>

#include <memory>
#include <optional>
#include <string>

#include "result_tree.h"

namespace Qlkmip::Kmip {

struct Request {
  Operation operation = Operation::Get;
  std::string uniqueId;  // Get and Get Attributes
  bool withCredential = false;
  Har::Secret username;
  Har::Secret password;
};

Har::Secret EncodeRequest(const Request& request);

struct Reply {
  int status = 0;  // a qlc status value
  std::string explain;
  std::unique_ptr<qlc_node> tree;  // payload tree on success
};

// Interprets a decoded response message to a request for OPERATION.
Reply InterpretResponse(const Ttlv::Item& message, Operation operation);

// The Get of GET.uniqueId (with GET's credential) followed by Get Attributes "State" of it.
Har::Secret EncodeGetWithState(const Request& get);

struct PairedReply {
  Reply get;                   // as InterpretResponse would give for a lone Get
  std::optional<Reply> state;  // the State query's answer, when the server returned one
};

// Interprets the response to EncodeGetWithState. A message-level failure (one item without a
// batch item ID) is the Get's failure; unknown, missing or repeated IDs, a count that disagrees
// with the items or an unusable item make the Get a QLC_BAD_RESPONSE (and no state). Fewer
// items back (the server stops at a failed Get) leave the state empty.
PairedReply InterpretGetWithState(const Ttlv::Item& message);

const char* OperationName(Operation operation);

}  // namespace Qlkmip::Kmip

#endif
