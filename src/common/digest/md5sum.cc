// Digests of a file and of a memory buffer.
#include "md5sum.h"
#include "ornix_lib.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Large reads keep the digest CPU-bound; 64 KiB still sits comfortably on
// the stack of every program of the suite.
constexpr size_t kReadBlock = 64 * 1024;

}  // namespace

int md5sum(const char *fname, unsigned char digest[16]) {
  if (fname == nullptr || digest == nullptr) return -1;
  UniqueFd f(open(fname, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (f.get() < 0) return -1;
#ifdef POSIX_FADV_SEQUENTIAL
  (void)posix_fadvise(f.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  unsigned char block[kReadBlock];
  MD5_CTX ctx;
  MD5Init(&ctx);
  for (;;) {
    ssize_t n = read(f.get(), block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // A digest of half a file must never pass for the file's digest: the
      // result cache would call the rest of the file clean.
      unsigned char scratch[16];
      MD5Final(scratch, &ctx);
      return -1;
    }
    MD5Update(&ctx, block, static_cast<uint32_t>(n));
  }
  MD5Final(digest, &ctx);
  return 0;
}

void str2md5(const void *str, uint32_t len, unsigned char digest[16]) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, str, len);
  MD5Final(digest, &ctx);
}

void md5hex(const unsigned char digest[16], char hex[33]) {
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = digits[digest[i] >> 4];
    hex[2 * i + 1] = digits[digest[i] & 15];
  }
  hex[32] = '\0';
}
