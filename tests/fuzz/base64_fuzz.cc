// Arbitrary text into both Base64 decoders, each into a buffer of exactly
// the size its bound promises (the sanitizer catches a byte past it), and
// round trips through the encoders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "md5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  size_t len = strlen(text.data());

  std::vector<unsigned char> out(base64DecodedMax(len));
  size_t a = base64decodeLen(text.data(), out.data());
  if (a >= out.size() || out[a] != 0) __builtin_trap();
  std::vector<unsigned char> out2(base64DecodedMax(len));
  size_t b = base64DecodeLen(text.data(), out2.data());
  if (b >= out2.size() || out2[b] != 0) __builtin_trap();

  // Encoding the raw bytes and decoding them again gives them back.
  std::vector<char> enc(base64EncodedSize(size));
  base64Encode(data, size, enc.data());
  if (strlen(enc.data()) + 1 != enc.size()) __builtin_trap();
  std::vector<unsigned char> back(base64DecodedMax(enc.size() - 1));
  size_t c = base64decodeLen(enc.data(), back.data());
  size_t d = base64DecodeLen(enc.data(), back.data());
  if (c != size || d != size || (size && memcmp(back.data(), data, size) != 0)) __builtin_trap();

  // The CRAM-MD5 answer over arbitrary challenge text stays in its buffer.
  std::vector<char> res(base64EncodedSize(CRAM_MD5_USER_MAX + 33));
  hmac_md5encode(text.data(), "user", "password", res.data());
  return 0;
}
