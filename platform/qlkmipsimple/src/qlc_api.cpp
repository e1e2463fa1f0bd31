// The C boundary: allocates the opaque objects, converts between C arguments and the C++
// classes, and never lets an exception escape.
#include <harlibs/secure.h>
#include <qlkmipsimple.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "command.h"
#include "result_tree.h"
#include "session.h"

namespace {

// Buffers handed to the caller carry their size in front so that qlc_free can wipe them.
constexpr size_t kBufferPrefix = 16;

// Copies SIZE bytes and a terminating NUL (so texts are C strings and no block is empty).
unsigned char* AllocateBuffer(const uint8_t* data, size_t size) {
  auto* base = static_cast<unsigned char*>(std::malloc(kBufferPrefix + size + 1));
  if (base == nullptr) {
    return nullptr;
  }
  std::memcpy(base, &size, sizeof(size));
  unsigned char* out = base + kBufferPrefix;
  if (size != 0) {
    std::memcpy(out, data, size);
  }
  out[size] = 0;
  return out;
}

std::unique_ptr<qlc_result> MakeResult(int status, std::string explain) {
  auto result = std::make_unique<qlc_result>();
  result->status = status;
  result->explain = std::move(explain);
  return result;
}

const qlc_node* LookupBase(const void* where, const qlc_result** owner) {
  uint32_t tag = 0;
  std::memcpy(&tag, where, sizeof(tag));
  if (tag == kQlcResultTag) {
    *owner = static_cast<const qlc_result*>(where);
    return (*owner)->root.get();
  }
  return tag == kQlcNodeTag ? static_cast<const qlc_node*>(where) : nullptr;
}

int ReadValue(const qlc_node& node, const char* format, va_list args) {
  using Kind = qlc_node::Kind;
  if (std::strcmp(format, "d") == 0) {
    int* out = va_arg(args, int*);
    if (out == nullptr) return QLC_BAD_ARGUMENT;
    if (node.kind != Kind::Integer) return QLC_NOT_FOUND;
    *out = static_cast<int>(node.integer);
    return QLC_OK;
  }
  const bool bytes = std::strcmp(format, "bs") == 0;
  if (!bytes && std::strcmp(format, "%s") != 0) {
    return QLC_BAD_ARGUMENT;
  }
  void** out = va_arg(args, void**);
  int32_t* length = bytes ? va_arg(args, int32_t*) : nullptr;
  if (out == nullptr || (bytes && length == nullptr)) return QLC_BAD_ARGUMENT;
  if (node.kind != (bytes ? Kind::Bytes : Kind::Text)) return QLC_NOT_FOUND;
  unsigned char* copy = AllocateBuffer(node.bytes.bytes(), node.bytes.size());
  if (copy == nullptr) return QLC_NO_MEMORY;
  *out = copy;
  if (bytes) {
    *length = static_cast<int32_t>(node.bytes.size());
  }
  return QLC_OK;
}

void Connect(qlc_session** session, const char* spec, qlc_result* result) {
  if (session == nullptr || spec == nullptr) {
    result->status = QLC_BAD_ARGUMENT;
    result->explain = "Missing session handle or specification";
    return;
  }
  *session = nullptr;
  Qlkmip::ConnectionSpec parsed;
  if (const Har::Status s = Qlkmip::ParseConnectionSpec(spec, &parsed); !s) {
    result->status = QLC_BAD_SPEC;
    result->explain = "Invalid connection specification: " + s.message();
    return;
  }
  std::unique_ptr<Qlkmip::Session> opened;
  const Qlkmip::Net::Outcome outcome =
      Qlkmip::Session::Open(parsed, &opened, &result->presentedCertificatePem);
  result->status = outcome.code;
  result->explain = outcome.text;
  if (outcome.ok()) {
    auto handle = std::make_unique<qlc_session>();
    handle->session = std::move(opened);
    *session = handle.release();
  }
}

}  // namespace

extern "C" {

qlc_result* qlc_connect_key_manager(qlc_session** session, const char* spec) {
  try {
    auto result = MakeResult(QLC_OK, "");
    Connect(session, spec, result.get());
    return result.release();
  } catch (const std::exception&) {
    return nullptr;
  }
}

qlc_result* qlc_perform(qlc_session* session, const char* command, ...) {
  try {
    if (session == nullptr || !session->session) {
      return MakeResult(QLC_BAD_ARGUMENT, "No session").release();
    }
    Qlkmip::Kmip::Request request;
    va_list args;
    va_start(args, command);
    const Har::Status parsed = Qlkmip::ParseCommand(command, args, &request);
    va_end(args);
    if (!parsed) {
      return MakeResult(QLC_BAD_COMMAND, parsed.message()).release();
    }
    auto result = MakeResult(QLC_OK, "");
    session->session->Perform(request, result.get());
    return result.release();
  } catch (const std::exception&) {
    return nullptr;
  }
}

int qlc_ok(const qlc_result* result) { return result == nullptr ? QLC_NO_MEMORY : result->status; }

const char* qlc_explain(const qlc_result* result) {
  if (result == nullptr) {
    return "No result (out of memory)";
  }
  return result->status != QLC_OK ? result->explain.c_str() : result->lookupError.c_str();
}

void qlc_release(qlc_result* result) { std::unique_ptr<qlc_result> owned(result); }

const qlc_node* qlc_find(const char* path, const qlc_result* result) {
  if (path == nullptr || result == nullptr || result->objectTag != kQlcResultTag) {
    return nullptr;
  }
  return result->root->Follow(path);
}

const qlc_node* qlc_next(const qlc_node* node) { return node == nullptr ? nullptr : node->next; }

int qlc_value_of(const char* path, const void* where, const char* format, ...) {
  if (where == nullptr || format == nullptr) {
    return QLC_BAD_ARGUMENT;
  }
  const qlc_result* owner = nullptr;
  const qlc_node* base = LookupBase(where, &owner);
  if (base == nullptr) {
    return QLC_BAD_ARGUMENT;
  }
  const std::string_view wanted = path == nullptr ? std::string_view() : std::string_view(path);
  const qlc_node* node = base->Follow(wanted);
  int status = QLC_NOT_FOUND;
  if (node != nullptr) {
    va_list args;
    va_start(args, format);
    status = ReadValue(*node, format, args);
    va_end(args);
  }
  if (owner != nullptr && status != QLC_OK) {
    try {
      owner->lookupError = "No value of format \"" + std::string(format) + "\" at \"" +
                           std::string(wanted) + "\" in the response";
    } catch (const std::exception&) {
    }
  }
  return status;
}

void qlc_free(void* pointer) {
  if (pointer == nullptr) {
    return;
  }
  unsigned char* base = static_cast<unsigned char*>(pointer) - kBufferPrefix;
  size_t size = 0;
  std::memcpy(&size, base, sizeof(size));
  Har::Cleanse(base, kBufferPrefix + size + 1);
  std::free(base);
}

int qlc_fetch_server_credentials(qlc_result* result, qlc_credentials** credentials) {
  if (result == nullptr || credentials == nullptr) {
    return QLC_BAD_ARGUMENT;
  }
  *credentials = nullptr;
  try {
    const std::string& pem = result->presentedCertificatePem;
    if (result->status != QLC_UNTRUSTED || pem.empty()) {
      result->lookupError = "No server certificate was kept for this result";
      return QLC_NO_CREDENTIALS;
    }
    auto record = std::make_unique<qlc_credentials>();
    record->format = QLC_CRED_PEM;
    record->data = AllocateBuffer(reinterpret_cast<const uint8_t*>(pem.data()), pem.size());
    if (record->data == nullptr) {
      return QLC_NO_MEMORY;
    }
    record->length = static_cast<uint32_t>(pem.size());
    *credentials = record.release();
    return QLC_OK;
  } catch (const std::exception&) {
    return QLC_NO_MEMORY;
  }
}

void qlc_free_credentials(qlc_credentials* credentials) {
  std::unique_ptr<qlc_credentials> owned(credentials);
  if (owned) {
    qlc_free(owned->data);
  }
}

void qlc_disconnect_key_manager(qlc_session* session) {
  std::unique_ptr<qlc_session> owned(session);
}

}  // extern "C"
