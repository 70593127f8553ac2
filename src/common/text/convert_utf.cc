// UTF-8 to EUC-JP through the built-in tables, and the iconv wrappers.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "convert.h"
#include "convert_internal.h"

using convert_io::Reader;
using convert_io::Writer;

const char ICONV_UTF8[] = "UTF-8";
const char ICONV_EUC[] = "EUC-JP";
const char ICONV_SJIS[] = "SHIFT_JIS";
const char ICONV_JIS[] = "ISO-2022-JP";

int32_t utf2euc_lookup(long cp) {
  // Unvalidated continuation bytes can give values outside the BMP or below
  // zero; they have no mapping rather than indexing outside the tables.
  if (cp < 0 || cp > 0xFFFF) return 0;
  const int32_t *tbl = utf2euc_dir[cp >> 8];
  return tbl ? tbl[cp & 0xFF] : 0;
}

size_t utf2euc_n(const char *src, size_t len, char *dst, size_t cap) {
  Reader in(src, len);
  Writer out(dst, cap);
  while (in.more()) {
    long c = in.cur();
    long cp = c;
    size_t used = 1;
    if (c >= 0xC0 && c <= 0xDF) {
      long d = in.peek(1);
      if (d == 0) break;
      cp = ((c - 0xC0) << 6) + (d - 0x80);
      used = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      long d1 = in.peek(1);
      if (d1 == 0) break;
      long d2 = in.peek(2);
      if (d2 == 0) break;
      cp = ((c - 0xE0) << 12) + ((d1 - 0x80) << 6) + (d2 - 0x80);
      used = 3;
    }
    int32_t v = utf2euc_lookup(cp);
    unsigned hi = (static_cast<uint32_t>(v) >> 8) & 0xFF;
    if (!out.room(hi ? 2 : 1)) break;
    // an unmapped character becomes a NUL byte: the visible text ends there
    if (hi) out.put(hi);
    out.put(static_cast<uint32_t>(v) & 0xFF);
    in.skip(used);
    // the next character may take two bytes
    if (out.size() + 3 > cap) break;
  }
  return out.finish();
}

void utf2euc(const char *src, char *dst) { utf2euc_n(src, strlen(src), dst, UTF2EUC_BUFSIZE); }

namespace {

constexpr size_t ICONV_AREA = ICONV_BUFSIZE - 1;
// Kept free on a second try when the first filled the area so completely
// that the return to the initial shift state (ESC "(" "B") did not fit.
constexpr size_t SHIFT_RESERVE = 8;

// One conversion call and the return to the initial state; the byte count,
// or -1 when the closing shift sequence found no room.
long convert_once(iconv_t cd, char *in, size_t len, char *out, size_t cap) {
  char *ip = in;
  size_t ileft = len;
  char *op = out;
  size_t oleft = cap;
  // stops at the end, at an invalid or incomplete sequence or when full
  iconv(cd, &ip, &ileft, &op, &oleft);
  if (iconv(cd, nullptr, nullptr, &op, &oleft) == static_cast<size_t>(-1)) return -1;
  return static_cast<long>(cap - oleft);
}

}  // namespace

void iconv_str(const char *src, char *res, const char *from, const char *to) {
  if (!res) return;
  res[0] = 0;
  if (!src || !from || !to) return;
  char in[ICONV_BUFSIZE] = {};
  char out[ICONV_BUFSIZE] = {};
  size_t len = strnlen(src, ICONV_AREA);
  memcpy(in, src, len);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return;
  long n = convert_once(cd, in, len, out, ICONV_AREA);
  if (n < 0) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    n = convert_once(cd, in, len, out, ICONV_AREA - SHIFT_RESERVE);
  }
  iconv_close(cd);
  if (n < 0) n = 0;  // never hand out text left in a shifted state
  memcpy(res, out, static_cast<size_t>(n));
  res[n] = 0;
}

void UTF8toEUC(const char *src, char *res) { iconv_str(src, res, ICONV_UTF8, ICONV_EUC); }

void UTF8toSJIS(const char *src, char *res) { iconv_str(src, res, ICONV_UTF8, ICONV_SJIS); }

void UTF8toJIS(const char *src, char *res) { iconv_str(src, res, ICONV_UTF8, ICONV_JIS); }
