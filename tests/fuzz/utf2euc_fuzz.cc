// utf2euc on arbitrary bytes, output buffer of exactly its 8193 bytes.
#include <cstddef>
#include <cstdint>

#include "convert_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_converter(data, size, utf2euc, utf2euc_n, UTF2EUC_BUFSIZE);
  return 0;
}
