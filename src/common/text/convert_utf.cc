// UTF-8 to EUC-JP through the built-in tables, and the iconv wrappers.
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <strings.h>

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

bool is_utf8_cont(unsigned char c) { return (c & 0xC0) == 0x80; }

// Converts the first len bytes and returns the converter to its initial
// state. Returns the bytes written, or -1 when the whole result (closing
// shift sequence included) does not fit cap; *used gets the input taken.
long convert_prefix(iconv_t cd, const char *src, size_t len, char *out, size_t cap,
                    size_t *used) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *ip = const_cast<char *>(src);
  size_t ileft = len;
  char *op = out;
  size_t oleft = cap;
  // stops at the end, at an invalid or incomplete sequence or when full
  iconv(cd, &ip, &ileft, &op, &oleft);
  *used = len - ileft;
  if (iconv(cd, nullptr, nullptr, &op, &oleft) == static_cast<size_t>(-1)) return -1;
  return static_cast<long>(cap - oleft);
}

}  // namespace

size_t iconv_str_n(const char *src, size_t len, char *res, size_t cap, const char *from,
                   const char *to, size_t *used) {
  size_t taken = 0;
  if (used) *used = 0;
  if (!res || cap == 0) return 0;
  res[0] = 0;
  if (!src || !from || !to) return 0;
  len = strnlen(src, len);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  long n = convert_prefix(cd, src, len, res, cap - 1, &taken);
  // A stateful target (ISO-2022-JP) may fill the area in two-byte mode with
  // no room left for the return to ASCII. Giving the converter a shorter
  // area instead would also throw away text that fits; dropping whole
  // characters from the end of what was taken, until the result with its
  // closing sequence fits, keeps the longest prefix that does. Each dropped
  // character frees at least one byte, so this ends within a few rounds.
  while (n < 0 && taken > 0) {
    size_t k = taken - 1;
    if (strcasecmp(from, ICONV_UTF8) == 0)
      while (k > 0 && is_utf8_cont(static_cast<unsigned char>(src[k]))) k--;
    size_t again = 0;
    n = convert_prefix(cd, src, k, res, cap - 1, &again);
    taken = again;
  }
  iconv_close(cd);
  if (n < 0) n = 0;  // never hand out text left in a shifted state
  res[n] = 0;
  if (used) *used = taken;
  return static_cast<size_t>(n);
}

void iconv_str(const char *src, char *res, const char *from, const char *to) {
  if (!res) return;
  res[0] = 0;
  if (!src) return;
  iconv_str_n(src, strnlen(src, ICONV_AREA), res, ICONV_BUFSIZE, from, to, nullptr);
}

void UTF8toEUC(const char *src, char *res) { iconv_str(src, res, ICONV_UTF8, ICONV_EUC); }

void UTF8toSJIS(const char *src, char *res) { iconv_str(src, res, ICONV_UTF8, ICONV_SJIS); }

void UTF8toJIS(const char *src, char *res) { iconv_str(src, res, ICONV_UTF8, ICONV_JIS); }
