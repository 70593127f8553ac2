// DecodeHeaderMIME, mime_decode and qqdecode on arbitrary header text, with
// heap outputs of exactly their documented sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto text = std::make_unique<char[]>(size + 1);
  memcpy(text.get(), data, size);
  text[size] = 0;
  size_t len = strlen(text.get());

  char *res = DecodeHeaderMIME(text.get());
  if (res == nullptr) abort();
  free(res);

  auto word = std::make_unique<char[]>(MIME_WORD_BUFSIZE);
  int used = mime_decode(text.get(), word.get());
  // never consumes past the terminator, always terminates its output
  if (used < 0 || static_cast<size_t>(used) > len) abort();
  if (memchr(word.get(), 0, MIME_WORD_BUFSIZE) == nullptr) abort();

  auto q = std::make_unique<char[]>(len + 1);
  qqdecode(text.get(), q.get());

  auto enc = std::make_unique<char[]>(MIME_WORD_BUFSIZE);
  EncodeHeaderMIME(text.get(), enc.get(), "ISO-2022-JP");
  return 0;
}
