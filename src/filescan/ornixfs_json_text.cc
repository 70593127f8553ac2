// JSON texts of names that are bytes, not necessarily UTF-8: a Linux file
// name is any bytes but "/" and NUL, while a JSON text must be Unicode.
// Valid UTF-8 is written as it is; a name that is not gets a readable form
// (each byte of a malformed sequence as U+FFFD) and, beside it, its exact
// bytes in Base64, so no consumer ever gets a wrong name silently.
#include <cstdio>
#include <string>
#include <vector>

#include "md5.h"
#include "ornixfs_json.h"

namespace {

// The length of the well-formed UTF-8 sequence at p (at most n bytes), or 0.
// Bytes are taken as unsigned whatever the platform's char is.
size_t sequence_length(const unsigned char *p, size_t n) {
  unsigned c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned lo = 0x80, hi = 0xbf;   // the range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0) lo = 0xa0;        // overlong
    if (c == 0xed) hi = 0x9f;        // surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0) lo = 0x90;        // overlong
    if (c == 0xf4) hi = 0x8f;        // above U+10FFFF
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; i++)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return len;
}

void escape_byte(std::string &out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {   // control characters never reach a terminal raw
    char esc[8];
    snprintf(esc, sizeof esc, "\\u%04x", c);
    out += esc;
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace

bool utf8_valid(const char *s, size_t n) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  for (size_t i = 0; i < n;) {
    size_t len = sequence_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

namespace {

// The string literal; false when a malformed sequence had to be replaced.
bool append_string(std::string &out, const char *s, size_t n) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  bool valid = true;
  out += '"';
  for (size_t i = 0; i < n;) {
    if (p[i] >= 0x20 && p[i] < 0x7f && p[i] != '"' && p[i] != '\\') {
      size_t j = i + 1;   // a run of plain ASCII, the usual name
      while (j < n && p[j] >= 0x20 && p[j] < 0x7f && p[j] != '"' && p[j] != '\\') j++;
      out.append(s + i, j - i);
      i = j;
      continue;
    }
    size_t len = sequence_length(p + i, n - i);
    if (len == 0) {
      out += "\xef\xbf\xbd";   // U+FFFD REPLACEMENT CHARACTER
      valid = false;
      i++;
    } else if (len == 1) {
      escape_byte(out, p[i++]);
    } else {
      out.append(s + i, len);
      i += len;
    }
  }
  out += '"';
  return valid;
}

}  // namespace

void json_string(std::string &out, const char *s, size_t n) { append_string(out, s, n); }

void json_name(std::string &out, const char *key, const char *s, size_t n) {
  out += '"';
  out += key;
  out += "\":";
  if (append_string(out, s, n)) return;
  std::vector<char> b64(base64EncodedSize(n));
  base64encodeN(s, n, b64.data());
  out += ",\"";
  out += key;
  out += "_base64\":\"";
  out += b64.data();
  out += '"';
}
