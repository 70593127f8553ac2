// The kinds of the catalogue checked as a parameter is stored: a value that
// is not of its key's kind ("100MB", "1.5G", "abc", "ture") stops the load,
// where a lookup would have read it as some other number or as "no".
#include <strings.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config_internal.h"

using namespace ornix_config;

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Leading digits as a number no larger than limit; p is left after them.
// False without digits or beyond the limit.
bool digits(const char *&p, uint64_t limit, uint64_t *out) {
  if (!is_digit(*p)) return false;
  uint64_t v = 0;
  for (; is_digit(*p); p++) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (v > (limit - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

int shift_of(char c) {
  switch (c) {
    case 'K': case 'k': return 10;
    case 'M': case 'm': return 20;
    case 'G': case 'g': return 30;
    default: return 0;
  }
}

const char *kind_text(int kind) {
  switch (kind) {
    case NUM_VALUE: return "a number";
    case SIZE_VALUE: return "a size: digits, optionally followed by K, M or G";
    case YESNO_VALUE: return "yes or no";
    default: return "a text";
  }
}

bool valid(int kind, const char *text) {
  int n;
  off_t size;
  switch (kind) {
    case NUM_VALUE: return parse_num(text, &n) == 0;
    case SIZE_VALUE: return parse_size(text, &size) == 0;
    case YESNO_VALUE: return parse_yesno(text, &n) == 0;
    default: return true;
  }
}

// The value as it can be shown on one line: control characters escaped (a
// DOS line end shows as \r), long values cut.
std::string shown(const std::string &value) {
  std::string out;
  for (unsigned char c : value) {
    if (out.size() >= 80) return out + "...";
    if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 32 || c == 127) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\%03o", c);
      out += esc;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

int parse_num(const char *text, int *value) {
  if (text == nullptr) return -1;
  const char *p = text;
  while (is_blank(*p)) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t v;
  uint64_t limit = negative ? static_cast<uint64_t>(INT_MAX) + 1 : static_cast<uint64_t>(INT_MAX);
  if (!digits(p, limit, &v) || *p != '\0') return -1;
  *value = negative ? static_cast<int>(-static_cast<int64_t>(v)) : static_cast<int>(v);
  return 0;
}

int parse_size(const char *text, off_t *value) {
  if (text == nullptr) return -1;
  const char *p = text;
  while (is_blank(*p)) p++;
  uint64_t v;
  if (!digits(p, static_cast<uint64_t>(INT64_MAX), &v)) return -1;
  int shift = shift_of(*p);
  if (shift != 0) {
    // the count before a suffix is an int, as the stored conversion reads it
    if (v > static_cast<uint64_t>(INT_MAX)) return -1;
    v <<= shift;
    p++;
  }
  if (*p != '\0') return -1;
  *value = static_cast<off_t>(v);
  return 0;
}

int parse_yesno(const char *text, int *value) {
  if (text == nullptr) return -1;
  if (strcasecmp(text, "yes") == 0) *value = 1;
  else if (strcasecmp(text, "no") == 0) *value = 0;
  else return -1;
  return 0;
}

namespace ornix_config {

int key_kind(const char *section, const char *key) {
  bool in_section = false;
  for (const default_value *d = defval; d->key != nullptr; d++) {
    if (strcmp(d->key, "SS") == 0)
      in_section = strcasecmp(d->str, section) == 0;
    else if (in_section && strcasecmp(d->key, key) == 0)
      return d->kind;
  }
  return TEXT_VALUE;
}

int check_value(const std::string &key, const std::string &value) {
  // the key as lookups find it: blanks after it as written ("MaxSize =5G") do not count
  size_t n = key.size();
  while (n > 0 && is_blank(key[n - 1])) n--;
  std::string bare = key.substr(0, n);
  int kind = key_kind(read_place.section.c_str(), bare.c_str());
  if (valid(kind, value.c_str())) return 0;
  config_error(2, "Invalid value. Filename:%s,Line:%d,Section:%s,Key:%s,Value:\"%s\" (must be %s)\n",
               read_place.file.c_str(), read_place.line, read_place.section.c_str(), bare.c_str(),
               shown(value).c_str(), kind_text(kind));
  return -1;
}

}  // namespace ornix_config
