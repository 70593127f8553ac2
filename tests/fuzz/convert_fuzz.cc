// The Japanese converters on arbitrary bytes; the first byte picks the
// converter. The plain form gets a NUL-terminated copy and a heap output of
// exactly its documented bound, the counted form the raw bytes with no
// terminator after them, so the sanitizer sees any read past the input or
// write past the bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert.h"

namespace {

struct Converter {
  void (*plain)(const char *, char *);
  size_t (*counted)(const char *, size_t, char *, size_t);
  size_t (*bound)(size_t);  // null: UTF2EUC_BUFSIZE
};

const Converter kConverters[] = {
    {euc2jis, euc2jis_n, euc2jis_bound},
    {jis2euc, jis2euc_n, jis2euc_bound},
    {sjis2euc, sjis2euc_n, sjis2euc_bound},
    {utf2euc, utf2euc_n, nullptr},
    {euc2sjis, euc2sjis_n, euc2sjis_bound},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const Converter &c = kConverters[data[0] % 5];
  ++data;
  --size;
  auto text = std::make_unique<char[]>(size + 1);
  memcpy(text.get(), data, size);
  text[size] = 0;
  size_t bound = c.bound ? c.bound(strlen(text.get())) : UTF2EUC_BUFSIZE;
  auto out = std::make_unique<char[]>(bound);
  c.plain(text.get(), out.get());
  if (memchr(out.get(), 0, bound) == nullptr) abort();  // unterminated

  auto raw = std::make_unique<char[]>(size ? size : 1);
  memcpy(raw.get(), data, size);
  // a small capacity taken from the input exercises the stop at the bound
  size_t cap = size ? data[0] % 16 : 0;
  auto small = std::make_unique<char[]>(cap ? cap : 1);
  size_t n = c.counted(raw.get(), size, small.get(), cap);
  if (cap && (n >= cap || small[n] != 0)) abort();
  auto full = std::make_unique<char[]>(bound);
  n = c.counted(raw.get(), size, full.get(), bound);
  if (n >= bound) abort();
  return 0;
}
