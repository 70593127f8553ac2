// Japanese character-set conversion (EUC-JP is the internal form) and MIME
// header words.
//
// The plain converters take a NUL-terminated input and write a NUL-terminated
// result into a caller buffer of the documented size. Each one is a thin
// wrapper over a counted variant (suffix _n) that reads at most `len` input
// bytes (a NUL byte still ends the walk), never writes more than `cap` bytes
// including the terminator and returns the number of bytes written before the
// terminator. A character that would not fit is not started, so the result
// never ends in a cut multi-byte sequence.
#ifndef ORNIX_CONVERT_H
#define ORNIX_CONVERT_H

#include <cstddef>
#include <cstdint>

// Sizes callers allocate for the outputs.
constexpr size_t UTF2EUC_BUFSIZE = 8193;   // utf2euc stops beyond 8190 bytes
constexpr size_t ICONV_BUFSIZE = 1025;     // UTF8toEUC, UTF8toSJIS, UTF8toJIS, iconv_str
constexpr size_t MIME_WORD_BUFSIZE = 8192; // mime_decode output, EncodeHeaderMIME output

// Output bounds of the byte-level converters for an input of n bytes.
constexpr size_t euc2jis_bound(size_t n) { return 3 * n + 4; }
constexpr size_t jis2euc_bound(size_t n) { return 2 * n + 1; }
constexpr size_t sjis2euc_bound(size_t n) { return 2 * n + 1; }
constexpr size_t euc2sjis_bound(size_t n) { return n + 1; }

// EUC-JP to ISO-2022-JP; the result always ends in one-byte mode.
void euc2jis(const char *src, char *dst);
size_t euc2jis_n(const char *src, size_t len, char *dst, size_t cap);
// ISO-2022-JP (with 8-bit EUC-JP mixed in) to EUC-JP.
void jis2euc(const char *src, char *dst);
size_t jis2euc_n(const char *src, size_t len, char *dst, size_t cap);
// Shift_JIS to EUC-JP.
void sjis2euc(const char *src, char *dst);
size_t sjis2euc_n(const char *src, size_t len, char *dst, size_t cap);
// EUC-JP to Shift_JIS.
void euc2sjis(const char *src, char *dst);
size_t euc2sjis_n(const char *src, size_t len, char *dst, size_t cap);
// UTF-8 to EUC-JP through the built-in tables; dst holds UTF2EUC_BUFSIZE bytes.
// A character without a mapping is written as a NUL byte.
void utf2euc(const char *src, char *dst);
size_t utf2euc_n(const char *src, size_t len, char *dst, size_t cap);
// Copies the text unchanged (input length plus 1).
void euc2utf8(const char *src, char *dst);

void EUCtoJIS(const char *src, char *dst);
void EUCtoSJIS(const char *src, char *dst);

// UTF-8 to EUC-JP, Shift_JIS or ISO-2022-JP through iconv; at most 1024 input
// bytes are taken; res holds ICONV_BUFSIZE bytes. A stateful target is always
// returned to its initial (ASCII) state.
void UTF8toEUC(const char *src, char *res);
void UTF8toSJIS(const char *src, char *res);
void UTF8toJIS(const char *src, char *res);
// from/to are iconv encoding names; the result is empty when iconv does not
// know them.
void iconv_str(const char *src, char *res, const char *from, const char *to);
// Counted form: converts at most len bytes of src into res (cap bytes with the
// terminator). The result is the longest whole-character prefix whose
// conversion, with the return of a stateful target to its initial state,
// fits; *used (may be null) receives the input bytes it covers. Conversion
// also stops at an invalid or incomplete sequence.
size_t iconv_str_n(const char *src, size_t len, char *res, size_t cap, const char *from,
                   const char *to, size_t *used);

// iconv names of the suite's encodings.
extern const char ICONV_UTF8[];
extern const char ICONV_EUC[];
extern const char ICONV_SJIS[];
extern const char ICONV_JIS[];

// Unicode (BMP) to EUC-JP tables: directory by high byte, null where no table
// exists; a value is the EUC-JP code (two bytes as hi*256+lo, or one byte), 0
// for no mapping.
extern const int32_t *const utf2euc_dir[256];
// The EUC-JP code of a BMP code point, 0 when it has none (also outside the BMP).
int32_t utf2euc_lookup(long cp);

// MIME header words.
// Decodes every encoded word of a header text into a new heap text (free it);
// null only when memory is short before anything could be stored.
char *DecodeHeaderMIME(const char *str);
// buf is just after "=?"; writes the decoded word (MIME_WORD_BUFSIZE bytes)
// and returns how many input characters it consumed.
int mime_decode(const char *buf, char *str);
// Quoted-printable ("Q") word text; buf needs strlen(data) + 1 bytes.
void qqdecode(const char *data, char *buf);
// Base64 of the text; res needs 4 * ceil(strlen(str) / 3) + 1 bytes.
void mime_encode(const char *str, char *res);
// "=?charset?B?...?=" into res (MIME_WORD_BUFSIZE bytes); a text too long for
// that gives an empty result and a warning in the log.
void EncodeHeaderMIME(const char *str, char *res, const char *charset);

#endif
