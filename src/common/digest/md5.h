// MD5 (RFC 1321) with its classic three-call interface, the file and buffer
// digests built on it, and the Base64, hex and CRAM-MD5 helpers of the suite.
// Digests are 16 raw bytes; callers make the 32-character "%02x" text form.
#ifndef ORNIX_MD5_H
#define ORNIX_MD5_H

#include <cstddef>
#include <cstdint>

struct MD5_CTX {
  uint32_t state[4];        // A, B, C, D
  uint32_t count[2];        // message length in bits, low word first
  unsigned char buffer[64]; // input not yet transformed
};

void MD5Init(MD5_CTX *context);
void MD5Update(MD5_CTX *context, const void *input, uint32_t inputLen);
// Pads, writes the 16-byte digest and zeroes the context.
void MD5Final(unsigned char digest[16], MD5_CTX *context);

// Digest of the whole content of a file: 0 on success; -1 when it cannot be
// opened or a read fails part-way (digest untouched in both cases).
int md5sum(const char *fname, unsigned char digest[16]);
// Digest of the first len bytes of str (NUL bytes included).
void str2md5(const void *str, uint32_t len, unsigned char digest[16]);
// 32 lowercase hex characters and a NUL into hex (33 bytes).
void md5hex(const unsigned char digest[16], char hex[33]);

// Base64, standard alphabet, "=" padding, no line breaks. Outputs are the
// caller's and must hold base64EncodedSize / base64DecodedMax bytes.
extern const char base64tbl[64];
extern const unsigned char mimetbl[256];
constexpr size_t base64EncodedSize(size_t n) { return (n + 2) / 3 * 4 + 1; }
constexpr size_t base64DecodedMax(size_t textLen) { return (textLen + 3) / 4 * 3 + 1; }

void base64encode(const char *data, char *res);                  // up to the NUL
void base64encodeN(const void *data, size_t len, char *res);     // counted
void base64Encode(const void *data, size_t size, char *base64);  // counted; null data: nothing
// Group decoder: no validation, stops at a "=" in the third or fourth place.
void base64decode(const char *data, void *res);
// Stream decoder: skips characters outside the alphabet, stops at the first "=".
void base64Decode(const char *base64, void *data);
// Both decoders, returning the number of bytes written before the NUL.
size_t base64decodeLen(const char *data, void *res);
size_t base64DecodeLen(const char *base64, void *data);

// res[i] = str[i] ^ pad[i] over the text (at most 64 bytes), pad[i] after it,
// res[64] = 0.
void exor(const char *str, const unsigned char pad[64], unsigned char res[65]);

// CRAM-MD5 (RFC 2195) answer to a Base64 challenge, Base64-encoded into res
// (base64EncodedSize(CRAM_MD5_USER_MAX + 33) bytes suffice). A user name over
// CRAM_MD5_USER_MAX bytes or a challenge over CRAM_MD5_CHALLENGE_MAX decoded
// bytes is refused: res is then empty and the refusal is logged.
constexpr size_t CRAM_MD5_USER_MAX = 221;
constexpr size_t CRAM_MD5_CHALLENGE_MAX = 1024;
void hmac_md5encode(const char *key, const char *user, const char *pass, char *res);

int dehex(int c);                        // 0..15, or -1 for a non-digit
void bin2hex(unsigned int bin, char res[3]);  // two lowercase digits of bin % 256

#endif
