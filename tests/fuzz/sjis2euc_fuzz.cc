// sjis2euc on arbitrary bytes, output buffer of exactly the documented bound.
#include <cstddef>
#include <cstdint>

#include "convert_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t len = strnlen(reinterpret_cast<const char *>(data), size);
  fuzz_converter(data, size, sjis2euc, sjis2euc_n, sjis2euc_bound(len));
  return 0;
}
