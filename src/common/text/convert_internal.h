// Counted reader and bounded writer shared by the byte-level converters.
// Internal to the convert module.
#ifndef ORNIX_CONVERT_IO_H
#define ORNIX_CONVERT_IO_H

#include <cstddef>

namespace convert_io {

// Reads at most len bytes; a NUL byte is the end of the text wherever it stands.
// Bytes are read as unsigned so the arithmetic is the same where char is signed.
class Reader {
 public:
  Reader(const char *p, size_t len) : p_(reinterpret_cast<const unsigned char *>(p)), len_(p ? len : 0) {}
  bool more() const { return i_ < len_ && p_[i_] != 0; }
  unsigned cur() const { return p_[i_]; }
  // The byte k places ahead, 0 at the end of the text. Callers look at k only
  // after every byte before it was non-zero, so nothing past a NUL is read.
  unsigned peek(size_t k) const { return i_ + k < len_ ? p_[i_ + k] : 0; }
  void skip(size_t k) { i_ += k; }

 private:
  const unsigned char *p_;
  size_t len_;
  size_t i_ = 0;
};

// Writes into cap bytes and always keeps one for the terminator.
class Writer {
 public:
  Writer(char *p, size_t cap) : p_(reinterpret_cast<unsigned char *>(p)), cap_(p ? cap : 0) {}
  // Whether k more bytes fit before the terminator.
  bool room(size_t k) const { return cap_ > 0 && n_ + k < cap_; }
  void put(unsigned c) { p_[n_++] = static_cast<unsigned char>(c); }
  size_t size() const { return n_; }
  size_t finish() {
    if (cap_ > 0) p_[n_] = 0;
    return n_;
  }

 private:
  unsigned char *p_;
  size_t cap_;
  size_t n_ = 0;
};

}  // namespace convert_io

#endif
