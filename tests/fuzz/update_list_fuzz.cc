// The update-list line parser over arbitrary server bytes: a line it takes
// must hold only what a path, a URL and a program argument can carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ornixup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  MOD rec;
  const char *why = nullptr;
  if (parse_list_line(reinterpret_cast<const char *>(data), size, &rec, &why) != 0) {
    if (why == nullptr) abort();
    return 0;
  }
  size_t n = strnlen(rec.name, sizeof rec.name);
  if (n == 0 || n == sizeof rec.name || strchr(rec.name, '/') != nullptr || rec.name[0] == '-' ||
      strcmp(rec.name, "..") == 0 || strcmp(rec.name, ".") == 0)
    abort();
  size_t b = strnlen(rec.build, sizeof rec.build);
  if (b == 0 || b == sizeof rec.build || strspn(rec.build, "0123456789.-abcdefghijklmnopqrstuvwxyz"
                                                           "ABCDEFGHIJKLMNOPQRSTUVWXYZ") != b)
    abort();
  if (rec.size < 0 || strlen(rec.md5) != 32 || strspn(rec.md5, "0123456789abcdef") != 32) abort();
  return 0;
}
