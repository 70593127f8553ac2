// HMAC-MD5 (RFC 2104) as the answer to an SMTP "AUTH CRAM-MD5" challenge
// (RFC 2195).
#include <cstdio>
#include <cstring>

#include "log.h"
#include "md5.h"

namespace {

constexpr size_t kBlock = 64;
// The longest challenge text whose decoded form fits the work buffer.
constexpr size_t kChallengeTextMax = CRAM_MD5_CHALLENGE_MAX / 3 * 4;

void wipe(void *p, size_t n) {
  volatile unsigned char *q = static_cast<volatile unsigned char *>(p);
  while (n--) *q++ = 0;
}

}  // namespace

void exor(const char *str, const unsigned char pad[64], unsigned char res[65]) {
  size_t n = strnlen(str, kBlock);
  for (size_t i = 0; i < kBlock; ++i)
    res[i] = i < n ? static_cast<unsigned char>(static_cast<unsigned char>(str[i]) ^ pad[i]) : pad[i];
  res[kBlock] = 0;
}

void hmac_md5encode(const char *key, const char *user, const char *pass, char *res) {
  if (res == nullptr) return;
  res[0] = '\0';
  if (key == nullptr || user == nullptr || pass == nullptr) return;
  char opad[kBlock + 1], ipad[kBlock + 1];
  std::memset(opad, 0x5c, kBlock);
  std::memset(ipad, 0x36, kBlock);
  opad[kBlock] = ipad[kBlock] = '\0';
  MsgLog(OrnixLog, 8192, "[DEBUG] opad %s\n", opad);
  MsgLog(OrnixLog, 8192, "[DEBUG] ipad %s\n", ipad);
  // The password never goes to the log, not even at debug level.
  MsgLog(OrnixLog, 8192, "[DEBUG] hmac_md5encode %s %s %s\n", key, user, "********");

  size_t ulen = std::strlen(user);
  if (ulen > CRAM_MD5_USER_MAX) {
    MsgLog(OrnixLog, 1, "hmac_md5encode: user name of %zu bytes refused (at most %zu)\n", ulen,
           CRAM_MD5_USER_MAX);
    return;
  }
  size_t klen = std::strlen(key);
  if (klen > kChallengeTextMax) {
    MsgLog(OrnixLog, 1, "hmac_md5encode: challenge of %zu characters refused (at most %zu)\n",
           klen, kChallengeTextMax);
    return;
  }
  char challenge[base64DecodedMax(kChallengeTextMax)];
  base64Decode(key, challenge);
  MsgLog(OrnixLog, 8192, "[DEBUG] Base64 decode %s\n", challenge);
  size_t clen = std::strlen(challenge);

  // RFC 2104: a key longer than the block is replaced by its digest.
  unsigned char k[kBlock] = {0};
  size_t plen = std::strlen(pass);
  if (plen > kBlock)
    str2md5(pass, static_cast<uint32_t>(plen), k);
  else
    std::memcpy(k, pass, plen);

  unsigned char kpad[kBlock];
  for (size_t i = 0; i < kBlock; ++i) kpad[i] = static_cast<unsigned char>(k[i] ^ 0x36);
  unsigned char inner[16];
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, kpad, kBlock);
  MD5Update(&ctx, challenge, static_cast<uint32_t>(clen));
  MD5Final(inner, &ctx);
  char hex[33];
  md5hex(inner, hex);
  MsgLog(OrnixLog, 8192, "[DEBUG] HMAC MD5(p1) %s\n", hex);

  for (size_t i = 0; i < kBlock; ++i) kpad[i] = static_cast<unsigned char>(k[i] ^ 0x5c);
  unsigned char outer[16];
  MD5Init(&ctx);
  MD5Update(&ctx, kpad, kBlock);
  MD5Update(&ctx, inner, sizeof inner);
  MD5Final(outer, &ctx);
  md5hex(outer, hex);
  MsgLog(OrnixLog, 8192, "[DEBUG] HMAC MD5(p2) %s\n", hex);
  wipe(k, sizeof k);
  wipe(kpad, sizeof kpad);

  char text[CRAM_MD5_USER_MAX + 1 + 32 + 1];
  std::snprintf(text, sizeof text, "%s %s", user, hex);
  MsgLog(OrnixLog, 8192, "[DEBUG] CRAM MD5 %s\n", text);
  base64encode(text, res);
  MsgLog(OrnixLog, 8192, "[DEBUG] CRAM MD5 Base64 %s\n", res);
}
