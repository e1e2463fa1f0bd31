// JSON string escaping.
#include "json_escape.h"

#include <cstdint>
#include <cstdio>

namespace Har::Internal {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid.
size_t Utf8Length(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = byte(i);
  size_t len = 0;
  uint32_t cp = 0;
  if (c < 0x80) {
    return 1;
  } else if ((c & 0xe0) == 0xc0) {
    len = 2;
    cp = c & 0x1f;
  } else if ((c & 0xf0) == 0xe0) {
    len = 3;
    cp = c & 0x0f;
  } else if ((c & 0xf8) == 0xf0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3f);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
    return 0;  // overlong, out of range or a surrogate
  }
  return len;
}

void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    default:
      break;
  }
  char buf[8];
  snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<uint8_t>(c)));
  out += buf;
}

// True for the bytes that go into the text as they are: printable ASCII but the quote and the
// backslash.
bool IsPlain(uint8_t c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  for (size_t i = 0; i < s.size();) {
    size_t plain = i;
    while (plain < s.size() && IsPlain(static_cast<uint8_t>(s[plain]))) {
      ++plain;
    }
    if (plain > i) {
      out.append(s.data() + i, plain - i);  // runs of plain text are copied whole
      i = plain;
      continue;
    }
    auto c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) {
      AppendEscaped(out, s[i]);
      ++i;
      continue;
    }
    size_t len = Utf8Length(s, i);
    if (len == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    out.append(s.data() + i, len);
    i += len;
  }
  out += '"';
}

}  // namespace Har::Internal
