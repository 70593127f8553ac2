// Japanese converters: the documented cases, bounds on bad input, and a
// character-by-character comparison with glibc's iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert.h"

namespace {

using Bytes = std::string;

Bytes B(std::initializer_list<int> v) {
  Bytes s;
  for (int c : v) s.push_back(static_cast<char>(c));
  return s;
}

// glibc iconv over a whole buffer; ok is false when any byte was refused.
Bytes gconv(const char *from, const char *to, const Bytes &in, bool *ok) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *ok = false;
    return {};
  }
  std::vector<char> src(in.begin(), in.end());
  std::vector<char> dst(in.size() * 8 + 16);
  char *ip = src.data();
  size_t il = src.size();
  char *op = dst.data();
  size_t ol = dst.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  size_t r2 = iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  *ok = r != static_cast<size_t>(-1) && r2 != static_cast<size_t>(-1) && il == 0;
  return Bytes(dst.data(), op);
}

Bytes utf8(long cp) {
  Bytes s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

// glibc loads its Japanese converters as modules; a cross-built test run
// under an emulator has none for the target architecture, and then only the
// comparisons with iconv are skipped.
bool japanese_iconv() {
  for (const char *cs : {"EUC-JP", "SHIFT_JIS", "ISO-2022-JP", "ISO-2022-JP-3"}) {
    iconv_t cd = iconv_open(cs, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
  }
  return true;
}

#define NEED_ICONV() \
  if (!japanese_iconv()) GTEST_SKIP() << "glibc has no Japanese iconv modules for this architecture"

using Conv = void (*)(const char *, char *);
using ConvN = size_t (*)(const char *, size_t, char *, size_t);

// Runs a plain converter with an output of exactly `bound` bytes followed by
// guard bytes that must stay untouched.
Bytes run(Conv f, const Bytes &in, size_t bound) {
  std::vector<char> out(bound + 32, '\x5a');
  f(in.c_str(), out.data());
  for (size_t i = bound; i < out.size(); i++) EXPECT_EQ(out[i], '\x5a') << "written past the bound at " << i;
  return Bytes(out.data());
}

Bytes E2J(const Bytes &s) { return run(euc2jis, s, euc2jis_bound(s.size())); }
Bytes J2E(const Bytes &s) { return run(jis2euc, s, jis2euc_bound(s.size())); }
Bytes S2E(const Bytes &s) { return run(sjis2euc, s, sjis2euc_bound(s.size())); }
Bytes E2S(const Bytes &s) { return run(euc2sjis, s, euc2sjis_bound(s.size())); }
// utf2euc output with its embedded NUL bytes, as counted by the _n form
Bytes U2E(const Bytes &s) {
  std::vector<char> out(UTF2EUC_BUFSIZE);
  size_t n = utf2euc_n(s.data(), s.size(), out.data(), out.size());
  return Bytes(out.data(), n);
}

const Bytes ESC_KANJI = "\x1b$B";
const Bytes ESC_ASCII = "\x1b(B";

TEST(Euc2Jis, DocumentedCases) {
  EXPECT_EQ(E2J(""), "");
  EXPECT_EQ(E2J("plain ascii"), "plain ascii");
  EXPECT_EQ(E2J(B({0xA4, 0xA2})), ESC_KANJI + "\x24\x22" + ESC_ASCII);
  EXPECT_EQ(E2J("a" + B({0xA4, 0xA2, 0xA4, 0xA4}) + "b"), "a" + ESC_KANJI + "\x24\x22\x24\x24" + ESC_ASCII + "b");
  // a lead byte without its trail byte is kept and two-byte mode still closed
  EXPECT_EQ(E2J("a" + B({0xA4})), "a" + ESC_KANJI + B({0xA4}) + ESC_ASCII);
  std::vector<char> out(16);
  EUCtoJIS("\xa4\xa2", out.data());
  EXPECT_EQ(Bytes(out.data()), ESC_KANJI + "\x24\x22" + ESC_ASCII);
}

TEST(Jis2Euc, DocumentedCases) {
  EXPECT_EQ(J2E(ESC_KANJI + "\x24\x22" + ESC_ASCII), B({0xA4, 0xA2}));
  EXPECT_EQ(J2E(ESC_KANJI + "\x24\x22"), B({0xA4, 0xA2}));
  EXPECT_EQ(J2E("\x1b$@\x24\x22\x1b(J"), B({0xA4, 0xA2}));
  EXPECT_EQ(J2E("\x1b(I\x31"), B({0x8E, 0xB1}));
  EXPECT_EQ(J2E("\x0e\x31\x0f"), B({0x8E, 0xB1}));
  EXPECT_EQ(J2E("\x0e\x31\x0fz"), B({0x8E, 0xB1}) + "z");
  // odd byte count in two-byte mode: the unpaired byte is dropped
  EXPECT_EQ(J2E(ESC_KANJI + "\x24\x22\x24" + ESC_ASCII + "x"), B({0xA4, 0xA2}) + "x");
  EXPECT_EQ(J2E(ESC_KANJI + "\x24\x22\x24"), B({0xA4, 0xA2}));
  // unknown escapes pass, controls are dropped, TAB/LF/FF/CR kept
  EXPECT_EQ(J2E("\x1b$Zq"), "\x1b$Zq");
  EXPECT_EQ(J2E("\x1bxq"), "\x1bxq");
  EXPECT_EQ(J2E("a\x01\x7f\x80\x90\xff" "b"), "ab");
  EXPECT_EQ(J2E("\t\n\f\r"), "\t\n\f\r");
  // 8-bit EUC-JP mixed in: pairs kept, broken pairs dropped
  EXPECT_EQ(J2E("x" + B({0xA4, 0xA2}) + "y"), "x" + B({0xA4, 0xA2}) + "y");
  EXPECT_EQ(J2E(B({0xA4, 0x41}) + "z"), "z");
}

TEST(Jis2Euc, EscapeAtTheEndStopsCleanly) {
  EXPECT_EQ(J2E("ab\x1b"), "ab\x1b");
  EXPECT_EQ(J2E("ab\x1b$"), "ab\x1b$");
  EXPECT_EQ(J2E("ab\x1b("), "ab\x1b(");
  EXPECT_EQ(J2E("ab" + B({0xA4})), "ab");
}

TEST(SjisEuc, DocumentedCases) {
  EXPECT_EQ(S2E(B({0x81, 0x40})), B({0xA1, 0xA1}));
  EXPECT_EQ(S2E(B({0x82, 0xA0})), B({0xA4, 0xA2}));
  EXPECT_EQ(S2E(B({0xB1})), B({0x8E, 0xB1}));
  EXPECT_EQ(S2E("ab"), "ab");
  EXPECT_EQ(S2E("a" + B({0x82})), "a");  // lead byte before the end
  EXPECT_EQ(E2S(B({0xA1, 0xA1})), B({0x81, 0x40}));
  EXPECT_EQ(E2S(B({0xA4, 0xA2})), B({0x82, 0xA0}));
  EXPECT_EQ(E2S(B({0x8E, 0xB1})), B({0xB1}));
  EXPECT_EQ(E2S("a" + B({0xA4})), "a");
  EXPECT_EQ(E2S("a" + B({0x8E})), "a");
  std::vector<char> out(16);
  EUCtoSJIS("\xa4\xa2", out.data());
  EXPECT_EQ(Bytes(out.data()), B({0x82, 0xA0}));
  euc2utf8("same text", out.data());
  EXPECT_STREQ(out.data(), "same text");
}

TEST(Utf2Euc, DocumentedCases) {
  EXPECT_EQ(U2E("\xe3\x81\x82"), B({0xA4, 0xA2}));
  std::vector<char> out(UTF2EUC_BUFSIZE);
  utf2euc("a~b", out.data());
  EXPECT_STREQ(out.data(), "a");
  EXPECT_EQ(U2E("a~b"), Bytes("a\0b", 3));
  EXPECT_EQ(U2E("\xef\xbd\xb1"), B({0xEE, 0x31}));
  // four-byte sequences are read byte by byte; U+00F0 has no mapping
  EXPECT_EQ(U2E("a\xf0\x9f\x98\x80"), Bytes("a\0\0\0\0", 5));
  EXPECT_EQ(U2E("\\"), B({0xA1, 0xC0}));
  EXPECT_EQ(U2E("\xc2\xa5"), "\x5c");
  EXPECT_EQ(U2E("\t\r\n"), Bytes(3, '\0'));
  EXPECT_EQ(U2E("a\xe3\x81"), "a");  // cut sequence at the end
  EXPECT_EQ(U2E("a\xc3"), "a");
}

TEST(Utf2Euc, BadContinuationBytesStayInsideTheTables) {
  // continuation bytes are not checked; the values they give lie outside
  // 0..0xFFFF and must be unmapped, not looked up out of range
  EXPECT_EQ(U2E("\xc0\x41z"), Bytes("\0z", 2));
  EXPECT_EQ(U2E("\xe0\x01\x01z"), Bytes("\0z", 2));
  EXPECT_EQ(U2E("\xef\xff\xffz"), Bytes("\0z", 2));
  EXPECT_EQ(utf2euc_lookup(-1), 0);
  EXPECT_EQ(utf2euc_lookup(0x10000), 0);
  EXPECT_EQ(utf2euc_lookup(0x11040), 0);
}

TEST(Utf2Euc, StopsBeyond8190Bytes) {
  Bytes in;
  for (int i = 0; i < 5000; i++) in += "\xe3\x81\x82";
  std::vector<char> out(UTF2EUC_BUFSIZE + 32, '\x5a');
  utf2euc(in.c_str(), out.data());
  EXPECT_EQ(strlen(out.data()), 8192u);
  for (size_t i = UTF2EUC_BUFSIZE; i < out.size(); i++) ASSERT_EQ(out[i], '\x5a');
  Bytes ascii(10000, 'a');
  utf2euc(ascii.c_str(), out.data());
  EXPECT_EQ(strlen(out.data()), 8191u);
}

TEST(Tables, CountAndSamples) {
  int tables = 0, mapped = 0;
  for (int h = 0; h < 256; h++) {
    if (!utf2euc_dir[h]) continue;
    tables++;
    for (int l = 0; l < 256; l++) mapped += utf2euc_dir[h][l] != 0;
  }
  EXPECT_EQ(tables, 93);
  EXPECT_EQ(mapped, 7037);
  for (int h : {0x00, 0x03, 0x04, 0x20, 0x21, 0x22, 0x23, 0x25, 0x26, 0x30, 0x4E, 0x9F, 0xFF})
    EXPECT_NE(utf2euc_dir[h], nullptr) << h;
  for (int h : {0x01, 0x24, 0x31, 0x4D, 0xA0, 0xFE}) EXPECT_EQ(utf2euc_dir[h], nullptr) << h;
  EXPECT_EQ(utf2euc_lookup(0x301C), 0xA1C1);
  EXPECT_EQ(utf2euc_lookup(0x2015), 0xA1BD);
  EXPECT_EQ(utf2euc_lookup(0x2016), 0xA1C2);
  EXPECT_EQ(utf2euc_lookup(0x2212), 0xA1DD);
  EXPECT_EQ(utf2euc_lookup(0xFFE3), 0xA1B1);
  EXPECT_EQ(utf2euc_lookup(0xFFE5), 0xA1EF);
  EXPECT_EQ(utf2euc_lookup(0x005C), 0xA1C0);
  for (long cp : {0xFF3CL, 0xFF5EL, 0xFF0DL, 0x2225L, 0x7EL, 0x7FL, 0x1FL, 0x01L, 0x00L})
    EXPECT_EQ(utf2euc_lookup(cp), 0) << std::hex << cp;
  EXPECT_EQ(utf2euc_lookup(0x00A5), 0x5C);
  EXPECT_EQ(utf2euc_lookup(0x203E), 0x7E);
  EXPECT_EQ(utf2euc_lookup(0x0041), 0x41);
  EXPECT_EQ(utf2euc_lookup(0xFF61), 0xEE21);
  EXPECT_EQ(utf2euc_lookup(0xFF9F), 0xEE5F);
  EXPECT_EQ(utf2euc_lookup(0x3042), 0xA4A2);
}

// The rule for one code point, worked out from glibc's EUC-JP converter and
// the suite's deviations from it; -1 for no mapping.
long expected_euc(long cp) {
  if (cp == 0x5C) return 0xA1C0;
  if (cp == 0xFF3C || cp == 0xFF5E || cp == 0xFF0D || cp == 0x2225) return -1;
  if (cp == 0xA5) return 0x5C;
  if (cp == 0x203E) return 0x7E;
  if (cp >= 0x20 && cp <= 0x7D) return cp;
  if (cp < 0x80) return -1;
  if (cp >= 0xFF61 && cp <= 0xFF9F) return 0xEE00 | (cp - 0xFF40);
  if (cp >= 0xD800 && cp <= 0xDFFF) return -1;
  bool ok;
  Bytes e = gconv("UTF-8", "EUC-JP", utf8(cp), &ok);
  if (!ok || e.size() != 2) return -1;  // JIS X 0212 (0x8F) and the like
  unsigned a = static_cast<unsigned char>(e[0]), b = static_cast<unsigned char>(e[1]);
  if (a < 0xA1 || a > 0xFE || b < 0xA1 || b > 0xFE) return -1;
  return (a << 8) | b;
}

TEST(Utf2Euc, AgreesWithIconvOnEveryBmpCodePoint) {
  NEED_ICONV();
  int mapped = 0;
  for (long cp = 1; cp <= 0xFFFF; cp++) {
    long want = expected_euc(cp);
    Bytes got = U2E(utf8(cp));
    Bytes exp;
    if (want < 0) {
      exp = Bytes(1, '\0');
    } else {
      mapped++;
      if (want > 0xFF) exp.push_back(static_cast<char>(want >> 8));
      exp.push_back(static_cast<char>(want & 0xFF));
    }
    ASSERT_EQ(got, exp) << "U+" << std::hex << cp;
  }
  EXPECT_EQ(mapped, 7037);
}

// Every JIS X 0208 character of rows 1 to 84 that glibc knows.
std::vector<Bytes> jis0208_chars() {
  std::vector<Bytes> v;
  for (int r = 0xA1; r <= 0xF4; r++)
    for (int c = 0xA1; c <= 0xFE; c++) {
      bool ok;
      Bytes e = B({r, c});
      gconv("EUC-JP", "UTF-8", e, &ok);
      if (ok) v.push_back(e);
    }
  return v;
}

TEST(AgainstIconv, Jis0208RowsOneTo84) {
  NEED_ICONV();
  std::vector<Bytes> chars = jis0208_chars();
  EXPECT_EQ(chars.size(), 6879u);
  Bytes row_text;
  for (const Bytes &e : chars) {
    bool ok;
    Bytes s = gconv("EUC-JP", "SHIFT_JIS", e, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(E2S(e), s) << std::hex << (static_cast<unsigned char>(e[0]) << 8 | static_cast<unsigned char>(e[1]));
    ASSERT_EQ(S2E(s), e);
    Bytes j = gconv("EUC-JP", "ISO-2022-JP", e, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(E2J(e), j);
    ASSERT_EQ(J2E(j), e);
    row_text += e;
  }
  // whole text at once, with ASCII between the characters
  Bytes mixed;
  for (size_t i = 0; i < chars.size(); i++) mixed += chars[i] + (i % 7 == 0 ? "a" : "");
  bool ok;
  Bytes j = gconv("EUC-JP", "ISO-2022-JP", mixed, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(E2J(mixed), j);
  EXPECT_EQ(J2E(E2J(mixed)), mixed);
  EXPECT_EQ(S2E(E2S(mixed)), mixed);
}

TEST(AgainstIconv, ArithmeticIsInverseOnEveryCell) {
  for (int r = 0xA1; r <= 0xF4; r++)
    for (int c = 0xA1; c <= 0xFE; c++) {
      Bytes e = B({r, c});
      ASSERT_EQ(S2E(E2S(e)), e) << r << " " << c;
      ASSERT_EQ(J2E(E2J(e)), e);
    }
}

TEST(AgainstIconv, HalfWidthKatakana) {
  NEED_ICONV();
  for (int k = 0xA1; k <= 0xDF; k++) {
    Bytes e = B({0x8E, k});
    bool ok;
    Bytes s = gconv("EUC-JP", "SHIFT_JIS", e, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(s, B({k}));
    ASSERT_EQ(E2S(e), s);
    ASSERT_EQ(S2E(s), e);
    // ISO-2022-JP-3 writes half-width katakana with ESC ( I
    Bytes j = gconv("EUC-JP", "ISO-2022-JP-3", e, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(J2E(j), e);
    ASSERT_EQ(J2E(Bytes("\x0e") + static_cast<char>(k & 0x7F) + "\x0f"), e);
  }
}

TEST(IconvWrappers, Conversions) {
  NEED_ICONV();
  const char *text = "a\xe3\x81\x82z";  // a, HIRAGANA A, z
  std::vector<char> res(ICONV_BUFSIZE);
  UTF8toEUC(text, res.data());
  EXPECT_EQ(Bytes(res.data()), "a" + B({0xA4, 0xA2}) + "z");
  UTF8toSJIS(text, res.data());
  EXPECT_EQ(Bytes(res.data()), "a" + B({0x82, 0xA0}) + "z");
  UTF8toJIS("\xe3\x81\x82", res.data());
  EXPECT_EQ(Bytes(res.data()), ESC_KANJI + "\x24\x22" + ESC_ASCII);
  iconv_str(text, res.data(), "NO-SUCH-CHARSET", ICONV_EUC);
  EXPECT_STREQ(res.data(), "");
  // an invalid sequence ends the result
  UTF8toEUC("ab\xff" "cd", res.data());
  EXPECT_STREQ(res.data(), "ab");
}

TEST(IconvWrappers, LongTextIsCutAndEndsInOneByteMode) {
  NEED_ICONV();
  std::vector<char> res(ICONV_BUFSIZE + 32, '\x5a');
  Bytes ascii(2000, 'x');
  UTF8toEUC(ascii.c_str(), res.data());
  EXPECT_EQ(strlen(res.data()), 1024u);
  // 1024 input bytes end inside a three-byte character
  Bytes kana;
  for (int i = 0; i < 600; i++) kana += "\xe3\x81\x82";
  UTF8toJIS(kana.c_str(), res.data());
  Bytes out(res.data());
  ASSERT_GE(out.size(), 6u);
  EXPECT_EQ(out.substr(out.size() - 3), ESC_ASCII);
  EXPECT_EQ(out.size(), 3 + 341 * 2 + 3u);
  // output fuller than the area: a character, then ASCII, again and again
  Bytes alt;
  for (int i = 0; i < 250; i++) alt += "\xe3\x81\x82" "a";
  UTF8toJIS(alt.c_str(), res.data());
  out = res.data();
  EXPECT_LE(out.size(), 1024u);
  EXPECT_EQ(out.substr(out.size() - 3), ESC_ASCII) ;
  bool ok;
  Bytes back = gconv("ISO-2022-JP", "UTF-8", out, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(back, alt.substr(0, back.size()));
  for (size_t i = ICONV_BUFSIZE; i < res.size(); i++) ASSERT_EQ(res[i], '\x5a');
}

// Random bytes with the counted forms: never more than cap bytes written,
// always terminated, never a byte read past len (the input has no NUL after
// it, so the sanitizer build would see an over-read).
TEST(Bounds, CountedFormsRespectLengthAndCapacity) {
  std::mt19937 rng(7);
  const ConvN convs[] = {euc2jis_n, jis2euc_n, sjis2euc_n, euc2sjis_n, utf2euc_n};
  const unsigned char alphabet[] = {0x1B, '$', '(', 'B', 'I', '@', 'J', 0x0E, 0x0F, 0x21, 0x7E,
                                    0x8E, 0x8F, 0xA1, 0xFE, 0x81, 0x9F, 0xE0, 0xFC, 0xC3, 0xE3,
                                    0xEF, 0x80, 0xBF, 'a', 0x00, 0xFF, 0x20};
  for (int round = 0; round < 4000; round++) {
    size_t len = rng() % 24;
    auto in = std::make_unique<char[]>(len ? len : 1);
    for (size_t i = 0; i < len; i++) in[i] = static_cast<char>(alphabet[rng() % sizeof alphabet]);
    size_t cap = rng() % 12;
    for (ConvN f : convs) {
      std::vector<char> out(cap + 16, '\x5a');
      size_t n = f(in.get(), len, out.data(), cap);
      if (cap == 0) {
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(out[0], '\x5a');
      } else {
        ASSERT_LT(n, cap);
        EXPECT_EQ(out[n], '\0');
      }
      for (size_t i = cap; i < out.size(); i++) ASSERT_EQ(out[i], '\x5a');
    }
  }
}

TEST(Bounds, CappedOutputEndsOnACharacter) {
  // room for 2 characters only: no half character, and ISO-2022-JP closed
  std::vector<char> out(64);
  Bytes euc = B({0xA4, 0xA2, 0xA4, 0xA4, 0xA4, 0xA6});
  size_t n = euc2jis_n(euc.data(), euc.size(), out.data(), 12);
  EXPECT_EQ(Bytes(out.data(), n), ESC_KANJI + "\x24\x22\x24\x24" + ESC_ASCII);
  n = jis2euc_n("\x1b$B\x24\x22\x24\x24", 7, out.data(), 4);
  EXPECT_EQ(Bytes(out.data(), n), B({0xA4, 0xA2}));
  n = sjis2euc_n("\x82\xa0\x82\xa2", 4, out.data(), 4);
  EXPECT_EQ(Bytes(out.data(), n), B({0xA4, 0xA2}));
  n = utf2euc_n("\xe3\x81\x82\xe3\x81\x84", 6, out.data(), 4);
  EXPECT_EQ(Bytes(out.data(), n), B({0xA4, 0xA2}));
}

TEST(Bounds, PlainFormsWithExactBoundOnRandomText) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; round++) {
    Bytes in;
    size_t len = rng() % 40;
    for (size_t i = 0; i < len; i++) {
      char c = static_cast<char>(rng() % 256);
      if (c) in.push_back(c);
    }
    E2J(in);
    J2E(in);
    S2E(in);
    E2S(in);
  }
}

}  // namespace
