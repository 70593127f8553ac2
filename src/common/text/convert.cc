// Byte-level converters between EUC-JP, ISO-2022-JP and Shift_JIS.
#include "convert.h"

#include <cstring>

#include "convert_internal.h"

using convert_io::Reader;
using convert_io::Writer;

namespace {

constexpr unsigned ESC = 0x1B;
constexpr unsigned SO = 0x0E;
constexpr unsigned SI = 0x0F;
constexpr unsigned SS2 = 0x8E;  // EUC-JP half-width katakana prefix
constexpr unsigned SS3 = 0x8F;  // EUC-JP JIS X 0212 prefix

// Room the closing ESC "(" "B" needs at the end of two-byte mode.
constexpr size_t CLOSE_LEN = 3;

bool is_jis_byte(unsigned c) { return c >= 0x21 && c <= 0x7E; }
bool is_euc_byte(unsigned c) { return c == SS2 || c == SS3 || (c >= 0xA1 && c <= 0xFE); }
bool is_sjis_lead(unsigned c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

void put_escape(Writer &out, unsigned a, unsigned b) {
  out.put(ESC);
  out.put(a);
  out.put(b);
}

}  // namespace

size_t euc2jis_n(const char *src, size_t len, char *dst, size_t cap) {
  Reader in(src, len);
  Writer out(dst, cap);
  bool two = false;
  // While in two-byte mode, room for the closing sequence is always kept back.
  while (in.more()) {
    unsigned c = in.cur();
    if (c >= 0x80) {
      unsigned t = in.peek(1);
      size_t need = (two ? 0 : 3) + (t == 0 ? 1 : 2) + CLOSE_LEN;
      if (!out.room(need)) break;
      if (!two) {
        put_escape(out, '$', 'B');
        two = true;
      }
      if (t == 0) {
        // a lead byte without its trail byte ends the text
        out.put(c);
        break;
      }
      out.put(c & 0x7F);
      out.put(t & 0x7F);
      in.skip(2);
    } else {
      if (!out.room(two ? CLOSE_LEN + 1 : 1)) break;
      if (two) {
        put_escape(out, '(', 'B');
        two = false;
      }
      out.put(c);
      in.skip(1);
    }
  }
  if (two) put_escape(out, '(', 'B');
  return out.finish();
}

namespace {

enum class JisMode { One, Two, Kana };

// One ESC sequence at the reader's position; returns false when the text ended.
bool jis_escape(Reader &in, Writer &out, JisMode &mode) {
  unsigned a = in.peek(1);
  if (a == 0) {
    if (out.room(1)) out.put(ESC);
    return false;
  }
  if (a != '$' && a != '(') {
    if (!out.room(2)) return false;
    out.put(ESC);
    out.put(a);
    in.skip(2);
    return true;
  }
  unsigned b = in.peek(2);
  if (a == '$' && (b == '@' || b == 'B')) {
    mode = JisMode::Two;
  } else if (a == '(' && (b == 'B' || b == 'J')) {
    mode = JisMode::One;
  } else if (a == '(' && b == 'I') {
    mode = JisMode::Kana;
  } else if (b == 0) {
    if (out.room(2)) {
      out.put(ESC);
      out.put(a);
    }
    return false;
  } else {
    if (!out.room(3)) return false;
    put_escape(out, a, b);
  }
  in.skip(3);
  return true;
}

}  // namespace

size_t jis2euc_n(const char *src, size_t len, char *dst, size_t cap) {
  Reader in(src, len);
  Writer out(dst, cap);
  JisMode mode = JisMode::One;
  while (in.more()) {
    unsigned c = in.cur();
    if (c == ESC) {
      if (!jis_escape(in, out, mode)) break;
      continue;
    }
    if (c == SO || c == SI) {
      mode = c == SO ? JisMode::Kana : JisMode::One;
      in.skip(1);
      continue;
    }
    if (mode == JisMode::Two && is_jis_byte(c)) {
      unsigned t = in.peek(1);
      if (is_jis_byte(t)) {
        if (!out.room(2)) break;
        out.put(c | 0x80);
        out.put(t | 0x80);
        in.skip(2);
      } else {
        in.skip(1);  // unpaired: dropped, the next byte is taken afresh
      }
      continue;
    }
    if (mode == JisMode::Kana && c >= 0x20 && c <= 0x5F) {
      if (!out.room(2)) break;
      out.put(SS2);
      out.put(c | 0x80);
      in.skip(1);
      continue;
    }
    if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || (c >= 0x20 && c <= 0x7E)) {
      if (!out.room(1)) break;
      out.put(c);
      in.skip(1);
      continue;
    }
    if (is_euc_byte(c)) {
      unsigned t = in.peek(1);
      if (t == 0) break;  // cut pair at the end: dropped
      if (is_euc_byte(t)) {
        if (!out.room(2)) break;
        out.put(c);
        out.put(t);
      }
      in.skip(2);
      continue;
    }
    in.skip(1);  // other controls, DEL and stray 8-bit bytes
  }
  return out.finish();
}

size_t sjis2euc_n(const char *src, size_t len, char *dst, size_t cap) {
  Reader in(src, len);
  Writer out(dst, cap);
  while (in.more()) {
    unsigned c = in.cur();
    if (!is_sjis_lead(c)) {
      bool kana = c >= 0xA1 && c <= 0xDF;
      if (!out.room(kana ? 2 : 1)) break;
      if (kana) out.put(SS2);
      out.put(c);
      in.skip(1);
      continue;
    }
    unsigned t = in.peek(1);
    if (t == 0) break;  // lead byte without trail byte
    if (!out.room(2)) break;
    unsigned row = ((c <= 0x9F ? c - 0x71 : c - 0xB1) * 2 + 1) & 0xFF;
    if (t > 0x9E) {
      t -= 0x7E;
      row = (row + 1) & 0xFF;
    } else if (t >= 0x80) {
      t -= 0x20;
    } else {
      t -= 0x1F;
    }
    out.put(row | 0x80);
    out.put((t & 0xFF) | 0x80);
    in.skip(2);
  }
  return out.finish();
}

size_t euc2sjis_n(const char *src, size_t len, char *dst, size_t cap) {
  Reader in(src, len);
  Writer out(dst, cap);
  while (in.more()) {
    unsigned c = in.cur();
    if (c >= 0xA1 && c <= 0xFE) {
      unsigned t = in.peek(1);
      if (t == 0) break;
      if (!out.room(2)) break;
      unsigned j1 = c & 0x7F;
      unsigned j2 = t & 0x7F;
      if (j1 & 1) {
        j2 += 0x1F;
        if (j2 >= 0x7F) j2++;
      } else {
        j2 += 0x7E;
      }
      unsigned lead = ((j1 - 0x21) >> 1) + 0x81;
      if (lead > 0x9F) lead += 0x40;
      out.put(lead);
      out.put(j2);
      in.skip(2);
    } else if (c == SS2) {
      unsigned t = in.peek(1);
      if (t == 0) break;
      if (!out.room(1)) break;
      out.put(t);
      in.skip(2);
    } else {
      if (!out.room(1)) break;
      out.put(c);
      in.skip(1);
    }
  }
  return out.finish();
}

void euc2jis(const char *src, char *dst) {
  size_t n = strlen(src);
  euc2jis_n(src, n, dst, euc2jis_bound(n));
}

void jis2euc(const char *src, char *dst) {
  size_t n = strlen(src);
  jis2euc_n(src, n, dst, jis2euc_bound(n));
}

void sjis2euc(const char *src, char *dst) {
  size_t n = strlen(src);
  sjis2euc_n(src, n, dst, sjis2euc_bound(n));
}

void euc2sjis(const char *src, char *dst) {
  size_t n = strlen(src);
  euc2sjis_n(src, n, dst, euc2sjis_bound(n));
}

void euc2utf8(const char *src, char *dst) { memcpy(dst, src, strlen(src) + 1); }

void EUCtoJIS(const char *src, char *dst) { euc2jis(src, dst); }

void EUCtoSJIS(const char *src, char *dst) { euc2sjis(src, dst); }
