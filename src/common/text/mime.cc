// MIME header words (RFC 2047): decoding into EUC-JP, Q decoding, B encoding.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "convert.h"
#include "log.h"
#include "md5.h"

namespace {

enum class Kind { Unknown, Plain, Jis, Utf8, Sjis };

constexpr size_t AREA = MIME_WORD_BUFSIZE;

bool starts(const char *s, const char *prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

// Recognises the charset; n receives the characters it takes, "?" included.
Kind charset_kind(const char *buf, size_t &n) {
  if (starts(buf, "ISO-2022-JP?")) {
    n = 12;
    return Kind::Jis;
  }
  if (starts(buf, "ISO-8859-")) {
    const char *q = strchr(buf + 9, '?');
    n = q ? static_cast<size_t>(q - buf) + 1 : strlen(buf);
    return Kind::Plain;
  }
  if (starts(buf, "US-ASCII?")) {
    n = 9;
    return Kind::Plain;
  }
  if (starts(buf, "UTF-8?")) {
    n = 6;
    return Kind::Utf8;
  }
  if (starts(buf, "Shift_JIS?")) {
    n = 10;
    return Kind::Sjis;
  }
  n = 0;
  return Kind::Unknown;
}

// Where the next "?=" stands. A header full of words that cannot be used
// ("=?a" over and over) would otherwise search the rest of the text again at
// every "=?" (quadratic time); one search answers every start up to the
// place it found, and a search that found nothing answers every later start.
struct CloseCache {
  const char *from = nullptr;
  const char *at = nullptr;

  const char *find(const char *p) {
    if (from != nullptr && p >= from && (at == nullptr || p <= at)) return at;
    from = p;
    at = strstr(p, "?=");
    return at;
  }
};

// "=?" + the word up to its "?=" + "?=", which is what the input holds.
int pass_through(const char *buf, char *str, CloseCache &close) {
  const char *end = close.find(buf);
  // strnlen: measuring all of a long rest at every "=?" is quadratic too
  size_t copied = end ? static_cast<size_t>(end - buf) : strnlen(buf, AREA);
  size_t closing = end ? 2 : 0;
  if (2 + copied + closing + 1 > AREA) {
    // too long for the word area: only "=?" is taken and the caller copies
    // the rest as ordinary text, so the word still comes out unchanged
    memcpy(str, "=?", 3);
    return 0;
  }
  memcpy(str, "=?", 2);
  memcpy(str + 2, buf, copied);
  memcpy(str + 2 + copied, "?=", closing);
  str[2 + copied + closing] = 0;
  return static_cast<int>(copied + closing);
}

// Bytes a Q text of tlen characters decodes to (as qqdecode counts them).
size_t q_decoded_len(const char *text, size_t tlen) {
  size_t n = 0;
  for (size_t i = 0; i < tlen;) {
    if (text[i] == '=') {
      if (i + 2 >= tlen) break;
      i += 3;
    } else {
      i++;
    }
    n++;
  }
  return n;
}

// Bytes a B text decodes to (as base64decode counts them).
size_t b_decoded_len(const char *text, size_t tlen) {
  size_t n = 0;
  for (size_t i = 0; i < tlen; i += 4) {
    size_t have = tlen - i < 4 ? tlen - i : 4;
    if (have < 2) break;
    n++;
    if (have < 3 || text[i + 2] == '=') break;
    n++;
    if (have < 4 || text[i + 3] == '=') break;
    n++;
  }
  return n;
}

void convert_word(Kind kind, const char *bytes, char *str) {
  size_t len = strlen(bytes);
  switch (kind) {
    case Kind::Jis:
      jis2euc_n(bytes, len, str, AREA);
      break;
    case Kind::Utf8:
      utf2euc_n(bytes, len, str, AREA);
      break;
    case Kind::Sjis:
      sjis2euc_n(bytes, len, str, AREA);
      break;
    default:
      if (len >= AREA) len = AREA - 1;
      memcpy(str, bytes, len);
      str[len] = 0;
      break;
  }
}

}  // namespace

namespace {

int decode_word(const char *buf, char *str, CloseCache &close) {
  str[0] = 0;
  size_t n = 0;
  Kind kind = charset_kind(buf, n);
  if (kind == Kind::Unknown) return pass_through(buf, str, close);
  char enc = buf[n];
  if (!((enc == 'B' || enc == 'b' || enc == 'Q' || enc == 'q') && buf[n + 1] == '?'))
    return static_cast<int>(n);
  const char *text = buf + n + 2;
  size_t tlen = strcspn(text, "?");
  bool b64 = enc == 'B' || enc == 'b';
  // Whether the word fits depends on what it decodes to, not on the length
  // of its encoded text: Q text of "=XX" triples shrinks to a third.
  size_t out = b64 ? b_decoded_len(text, tlen) : q_decoded_len(text, tlen);
  if (out >= AREA) {
    // cannot be decoded within the working areas: left encoded as it came
    memcpy(str, "=?", 3);
    return 0;
  }
  // Only the decodable stretch is copied: it takes at most 4 characters
  // per 3 bytes (B) or 3 per byte (Q) of a result that fits.
  size_t keep = b64 ? (out + 2) / 3 * 4 + 4 : 3 * out + 3;
  if (keep > tlen) keep = tlen;
  char coded[3 * AREA + 4];
  memcpy(coded, text, keep);
  coded[keep] = 0;
  char decoded[AREA];
  if (b64)
    base64decode(coded, decoded);
  else
    qqdecode(coded, decoded);
  convert_word(kind, decoded, str);
  n += 2 + tlen;
  // the closing "?=", never past the end of the text
  if (buf[n] == '?') n += buf[n + 1] ? 2 : 1;
  return static_cast<int>(n);
}

}  // namespace

int mime_decode(const char *buf, char *str) {
  CloseCache close;
  return decode_word(buf, str, close);
}

void qqdecode(const char *data, char *buf) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
  unsigned char *out = reinterpret_cast<unsigned char *>(buf);
  while (*p) {
    if (*p == '=') {
      if (!p[1] || !p[2]) break;
      int hi = dehex(p[1]);
      int lo = dehex(p[2]);
      *out++ = static_cast<unsigned char>((((16 * hi) & 0xFF) + lo) & 0xFF);
      p += 3;
    } else {
      *out++ = *p == '_' ? ' ' : *p;
      p++;
    }
  }
  *out = 0;
}

namespace {

// The growing result of DecodeHeaderMIME.
struct Result {
  static constexpr size_t STEP = 8192;
  char *p = nullptr;
  size_t len = 0;
  size_t cap = 0;

  // false when the block cannot grow; what was stored stays valid
  bool append(const char *s, size_t n) {
    while (len + n + 1 > cap) {
      // whole steps, but doubling: a fixed step would copy a long text over
      // and over (quadratic time)
      size_t grow = cap < STEP ? STEP : cap / STEP * STEP;
      if (cap > SIZE_MAX / 2) return false;
      char *q = static_cast<char *>(realloc(p, cap + grow));
      if (!q) return false;
      p = q;
      cap += grow;
    }
    memcpy(p + len, s, n);
    len += n;
    p[len] = 0;
    return true;
  }
};

}  // namespace

char *DecodeHeaderMIME(const char *str) {
  Result res;
  res.p = static_cast<char *>(calloc(Result::STEP, 1));
  if (!res.p) return nullptr;
  res.cap = Result::STEP;
  if (!str) return res.p;
  const char *p = str;
  char word[AREA];
  CloseCache close;
  while (*p) {
    bool ok;
    if (p[0] == '=' && p[1] == '?') {
      int used = decode_word(p + 2, word, close);
      p += 2 + used;
      ok = res.append(word, strlen(word));
    } else {
      // ordinary text up to the next "=", in pieces no larger than one
      // growth step so that a failing realloc still leaves the text so far
      size_t run = 1;
      while (run < Result::STEP / 2 && p[run] && p[run] != '=') run++;
      ok = res.append(p, run);
      p += run;
    }
    // short of memory: the text decoded so far is still a valid result
    if (!ok) break;
  }
  return res.p;
}

void mime_encode(const char *str, char *res) { base64encode(str, res); }

void EncodeHeaderMIME(const char *str, char *res, const char *charset) {
  if (!res) return;
  res[0] = 0;
  if (!str) return;
  if (!charset) charset = "";
  size_t clen = strlen(charset);
  size_t tlen = strlen(str);
  size_t need = 2 + clen + 3 + (tlen + 2) / 3 * 4 + 2;  // "=?" cs "?B?" text "?="
  if (need >= AREA || clen >= AREA) {
    MsgLog(OrnixLog, 16, "EncodeHeaderMIME: text of %zu bytes in charset %.64s does not fit one encoded word of %zu characters\n",
           tlen, charset, AREA - 1);
    return;
  }
  char *w = res;
  memcpy(w, "=?", 2);
  w += 2;
  memcpy(w, charset, clen);
  w += clen;
  memcpy(w, "?B?", 3);
  w += 3;
  mime_encode(str, w);
  w += strlen(w);
  memcpy(w, "?=", 3);
}
