#include "command.h"

#include <cstring>
#include <string_view>

namespace Qlkmip {
namespace {

class CommandReader {
 public:
  CommandReader(const char* format, va_list args, std::string* error)
      : text_(format), error_(error) {
    va_copy(args_, args);
  }
  ~CommandReader() { va_end(args_); }
  CommandReader(const CommandReader&) = delete;
  CommandReader& operator=(const CommandReader&) = delete;

  bool Accept(std::string_view literal) {
    if (!text_.starts_with(literal)) {
      return false;
    }
    text_.remove_prefix(literal.size());
    return true;
  }

  bool Expect(std::string_view literal) {
    return Accept(literal) || Fail("expected \"" + std::string(literal) + "\"");
  }

  bool AtEnd() const { return text_.empty(); }

  // Reads one value: "%s" takes the next argument, otherwise literal text.
  template <typename Out>
  bool Value(bool allowEmpty, Out* out) {
    std::string_view value;
    if (Accept("%s")) {
      const char* arg = va_arg(args_, const char*);
      if (arg == nullptr) {
        return Fail("null argument");
      }
      value = std::string_view(arg, strnlen(arg, kMaxCommandValue + 1));
    } else {
      const size_t end = text_.find_first_of(",{}%");
      value = text_.substr(0, end);
      text_.remove_prefix(value.size());
    }
    if (value.size() > kMaxCommandValue) {
      return Fail("value too long");
    }
    if (value.empty() && !allowEmpty) {
      return Fail("empty value");
    }
    *out = Out(value);
    return true;
  }

  bool Fail(std::string reason) {
    *error_ = "Invalid command: " + std::move(reason);
    return false;
  }

 private:
  std::string_view text_;
  std::string* error_;
  va_list args_;
};

bool Operation(CommandReader& r, Kmip::Request* out) {
  if (r.Accept("Get, Object, Id=")) {
    out->operation = Kmip::Operation::Get;
    return r.Value(false, &out->uniqueId);
  }
  if (r.Accept("Get, Attributes, Id=")) {
    out->operation = Kmip::Operation::GetAttributes;
    return r.Value(false, &out->uniqueId) && r.Expect(", Names=State");
  }
  if (r.Accept("Query, Versions")) {
    out->operation = Kmip::Operation::DiscoverVersions;
    return true;
  }
  return r.Fail("unknown command");
}

bool Command(CommandReader& r, Kmip::Request* out) {
  if (!Operation(r, out)) {
    return false;
  }
  if (r.Accept(", Options={Authentication={User=")) {
    out->withCredential = true;
    if (!r.Value(false, &out->username) || !r.Expect(", Password=") ||
        !r.Value(true, &out->password) || !r.Expect("}}")) {
      return false;
    }
  }
  return r.AtEnd() || r.Fail("unexpected text after the command");
}

}  // namespace

Har::Status ParseCommand(const char* format, va_list args, Kmip::Request* out) {
  if (format == nullptr) {
    return Har::Status::Error("Invalid command: null");
  }
  std::string error;
  CommandReader r(format, args, &error);
  if (!Command(r, out)) {
    return Har::Status::Error(std::move(error));
  }
  return Har::Status::Ok();
}

}  // namespace Qlkmip
