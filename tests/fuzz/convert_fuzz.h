// Shared driver of the converter fuzz targets: the plain form gets a
// NUL-terminated copy and a heap output of exactly its documented bound, the
// counted form the raw bytes with no terminator after them, so the sanitizer
// sees any read past the input or write past the bound.
#ifndef ORNIX_CONVERT_FUZZ_H
#define ORNIX_CONVERT_FUZZ_H

#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert.h"

using PlainConv = void (*)(const char *, char *);
using CountedConv = size_t (*)(const char *, size_t, char *, size_t);

inline void fuzz_converter(const uint8_t *data, size_t size, PlainConv plain, CountedConv counted,
                           size_t bound) {
  auto text = std::make_unique<char[]>(size + 1);
  memcpy(text.get(), data, size);
  text[size] = 0;
  auto out = std::make_unique<char[]>(bound);
  plain(text.get(), out.get());
  if (memchr(out.get(), 0, bound) == nullptr) abort();  // unterminated

  auto raw = std::make_unique<char[]>(size ? size : 1);
  memcpy(raw.get(), data, size);
  // a small capacity taken from the input exercises the stop at the bound
  size_t cap = size ? data[0] % 16 : 0;
  auto small = std::make_unique<char[]>(cap ? cap : 1);
  size_t n = counted(raw.get(), size, small.get(), cap);
  if (cap && (n >= cap || small[n] != 0)) abort();
  auto full = std::make_unique<char[]>(bound);
  n = counted(raw.get(), size, full.get(), bound);
  if (n >= bound) abort();
}

#endif
