// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) and hex digits.
#include <cstring>

#include "md5.h"

const char base64tbl[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

namespace {

struct ReverseTable {
  unsigned char v[256];
  constexpr ReverseTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = 64;
    const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(abc[i])] = static_cast<unsigned char>(i);
  }
};
constexpr ReverseTable kReverse;

// The one encoder behind the three public names: they produce identical text.
void encode(const unsigned char *in, size_t n, char *out) {
  size_t o = 0;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned g = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
    out[o++] = base64tbl[(g >> 18) & 63];
    out[o++] = base64tbl[(g >> 12) & 63];
    out[o++] = base64tbl[(g >> 6) & 63];
    out[o++] = base64tbl[g & 63];
  }
  if (n - i == 1) {
    unsigned g = unsigned(in[i]) << 16;
    out[o++] = base64tbl[(g >> 18) & 63];
    out[o++] = base64tbl[(g >> 12) & 63];
    out[o++] = '=';
    out[o++] = '=';
  } else if (n - i == 2) {
    unsigned g = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8;
    out[o++] = base64tbl[(g >> 18) & 63];
    out[o++] = base64tbl[(g >> 12) & 63];
    out[o++] = base64tbl[(g >> 6) & 63];
    out[o++] = '=';
  }
  out[o] = '\0';
}

inline unsigned val(char c) { return kReverse.v[static_cast<unsigned char>(c)]; }

}  // namespace

const unsigned char mimetbl[256] = {
#define R4(b) kReverse.v[b], kReverse.v[b + 1], kReverse.v[b + 2], kReverse.v[b + 3]
#define R16(b) R4(b), R4(b + 4), R4(b + 8), R4(b + 12)
#define R64(b) R16(b), R16(b + 16), R16(b + 32), R16(b + 48)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R16
#undef R4
};

void base64encode(const char *data, char *res) {
  if (data == nullptr || res == nullptr) return;
  encode(reinterpret_cast<const unsigned char *>(data), std::strlen(data), res);
}

void base64encodeN(const void *data, size_t len, char *res) {
  if (data == nullptr || res == nullptr) return;
  encode(static_cast<const unsigned char *>(data), len, res);
}

void base64Encode(const void *data, size_t size, char *base64) {
  if (data == nullptr || base64 == nullptr) return;
  encode(static_cast<const unsigned char *>(data), size, base64);
}

size_t base64decodeLen(const char *data, void *res_v) {
  unsigned char *res = static_cast<unsigned char *>(res_v);
  size_t len = std::strlen(data);
  size_t o = 0;
  for (size_t i = 0; i < len; i += 4) {
    // Only characters before the terminator are read; a short last group
    // yields the bytes its characters complete.
    size_t have = len - i < 4 ? len - i : 4;
    if (have < 2) break;
    unsigned v0 = val(data[i]), v1 = val(data[i + 1]);
    res[o++] = static_cast<unsigned char>((v0 << 2) + ((v1 >> 4) & 3));
    if (have < 3 || data[i + 2] == '=') break;
    unsigned v2 = val(data[i + 2]);
    res[o++] = static_cast<unsigned char>((v1 << 4) + ((v2 >> 2) & 15));
    if (have < 4 || data[i + 3] == '=') break;
    unsigned v3 = val(data[i + 3]);
    res[o++] = static_cast<unsigned char>((v2 << 6) + (v3 & 63));
  }
  res[o] = 0;
  return o;
}

void base64decode(const char *data, void *res) {
  if (data == nullptr || res == nullptr) return;
  (void)base64decodeLen(data, res);
}

size_t base64DecodeLen(const char *base64, void *data_v) {
  unsigned char *data = static_cast<unsigned char *>(data_v);
  size_t len = std::strlen(base64);
  size_t o = 0;
  unsigned cur = 0;  // the output byte being assembled
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(base64[i]);
    if (c == '=') break;
    // Bytes of 128 and above are outside the alphabet like any other
    // stranger (masking them to 7 bits would turn them into letters).
    unsigned v = kReverse.v[c];
    if (v >= 64) continue;  // skipped, but its place still counts
    switch (i % 4) {
      case 0:
        cur = v << 2;
        break;
      case 1:
        data[o++] = static_cast<unsigned char>(cur + ((v >> 4) & 3));
        cur = v << 4;
        break;
      case 2:
        data[o++] = static_cast<unsigned char>(cur + ((v >> 2) & 15));
        cur = v << 6;
        break;
      default:
        data[o++] = static_cast<unsigned char>(cur + (v & 63));
        cur = 0;
        break;
    }
  }
  data[o] = 0;
  return o;
}

void base64Decode(const char *base64, void *data) {
  if (base64 == nullptr || data == nullptr) return;
  (void)base64DecodeLen(base64, data);
}

int dehex(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void bin2hex(unsigned int bin, char res[3]) {
  static const char digits[] = "0123456789abcdef";
  res[0] = digits[(bin >> 4) & 15];
  res[1] = digits[bin & 15];
  res[2] = '\0';
}
