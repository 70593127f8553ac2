// Japanese converters: the documented cases, bounds on bad input, and a
// character-by-character comparison with glibc's iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert.h"
#include "test_util.h"

namespace {

using Bytes = std::string;

Bytes B(std::initializer_list<int> v) {
  Bytes s;
  for (int c : v) s.push_back(static_cast<char>(c));
  return s;
}

// glibc iconv over a whole buffer; ok is false when any byte was refused.
// (One converter per pair, opened once and reset for every call.)
struct Iconv {
  explicit Iconv(iconv_t c) : cd(c) {}
  ~Iconv() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  iconv_t cd;
};

Bytes gconv(const char *from, const char *to, const Bytes &in, bool *ok) {
  static std::map<std::pair<std::string, std::string>, Iconv> open;
  auto it = open.find({from, to});
  if (it == open.end()) it = open.try_emplace(std::make_pair(from, to), iconv_open(to, from)).first;
  iconv_t cd = it->second.cd;
  *ok = cd != reinterpret_cast<iconv_t>(-1);
  if (!*ok) return {};
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::vector<char> src(in.begin(), in.end()), dst(in.size() * 8 + 16);
  char *ip = src.data(), *op = dst.data();
  size_t il = src.size(), ol = dst.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  size_t r2 = iconv(cd, nullptr, nullptr, &op, &ol);
  *ok = r != static_cast<size_t>(-1) && r2 != static_cast<size_t>(-1) && il == 0;
  return Bytes(dst.data(), op);
}

Bytes utf8(long cp) {
  if (cp < 0x80) return B({static_cast<int>(cp)});
  if (cp < 0x800) return B({static_cast<int>(0xC0 | (cp >> 6)), static_cast<int>(0x80 | (cp & 0x3F))});
  return B({static_cast<int>(0xE0 | (cp >> 12)), static_cast<int>(0x80 | ((cp >> 6) & 0x3F)),
            static_cast<int>(0x80 | (cp & 0x3F))});
}

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
  return Bytes(out.data(), utf2euc_n(s.data(), s.size(), out.data(), out.size()));
}

const Bytes KI = "\x1b$B", KO = "\x1b(B";  // ISO-2022-JP kanji in, ASCII back
const Bytes A = B({0xA4, 0xA2});           // HIRAGANA A in EUC-JP

TEST(Converters, DocumentedCases) {
  struct Row {
    Bytes (*f)(const Bytes &);
    Bytes in, out;
  } rows[] = {
      {E2J, "a" + A + B({0xA4, 0xA4}) + "b", "a" + KI + "\x24\x22\x24\x24" + KO + "b"},
      {E2J, "a" + B({0xA4}), "a" + KI + B({0xA4}) + KO},  // lone lead byte, mode still closed
      {J2E, KI + "\x24\x22", A},
      {J2E, "\x1b$@\x24\x22\x1b(J", A},
      {J2E, "\x1b(I\x31", B({0x8E, 0xB1})},
      {J2E, "\x0e\x31\x0fz", B({0x8E, 0xB1}) + "z"},
      {J2E, KI + "\x24\x22\x24" + KO + "x", A + "x"},  // odd byte count: unpaired byte dropped
      {J2E, KI + "\x24\x22\x24", A},
      {J2E, "\x1b$Zq", "\x1b$Zq"},  // unknown escapes pass
      {J2E, "a\x01\x7f\x80\x90\xff" "b\t\n\f\r", "ab\t\n\f\r"},
      {J2E, "x" + A + "y" + B({0xA4, 0x41}) + "z", "x" + A + "yz"},  // 8-bit pairs, a broken one
      {J2E, "ab\x1b", "ab\x1b"},  // escapes cut by the end
      {J2E, "ab\x1b$", "ab\x1b$"},
      {J2E, "ab\x1b(", "ab\x1b("},
      {J2E, "ab" + B({0xA4}), "ab"},
      {S2E, B({0x81, 0x40, 0x82, 0xA0, 0xB1}) + "ab", B({0xA1, 0xA1}) + A + B({0x8E, 0xB1}) + "ab"},
      {S2E, "a" + B({0x82}), "a"},
      {E2S, B({0xA1, 0xA1}) + A + B({0x8E, 0xB1}), B({0x81, 0x40, 0x82, 0xA0, 0xB1})},
      {E2S, "a" + B({0xA4}), "a"},
      {E2S, "a" + B({0x8E}), "a"},
      {U2E, "a~b\t", Bytes("a\0b\0", 4)},  // no mapping: a NUL byte
      {U2E, "a\xf0\x9f\x98\x80", Bytes("a\0\0\0\0", 5)},  // four-byte sequences byte by byte
      {U2E, "a\xe3\x81", "a"},  // cut sequences at the end
      {U2E, "a\xc3", "a"},
      // unchecked continuation bytes give values outside the tables: unmapped
      {U2E, "\xc0\x41z\xe0\x01\x01z\xef\xff\xffz", Bytes("\0z\0z\0z", 6)},
  };
  for (const Row &r : rows) EXPECT_EQ(r.f(r.in), r.out) << testing::PrintToString(r.in);
  EXPECT_EQ(utf2euc_lookup(-1), 0);
  EXPECT_EQ(utf2euc_lookup(0x11040), 0);
  std::vector<char> out(16);
  utf2euc("a~b", out.data());  // the plain form ends at the first unmapped character
  EXPECT_STREQ(out.data(), "a");
}

TEST(Utf2Euc, StopsBeyond8190Bytes) {
  Bytes in;
  for (int i = 0; i < 5000; i++) in += "\xe3\x81\x82";
  std::vector<char> out(UTF2EUC_BUFSIZE + 32, '\x5a');
  utf2euc(in.c_str(), out.data());
  EXPECT_EQ(strlen(out.data()), 8192u);
  for (size_t i = UTF2EUC_BUFSIZE; i < out.size(); i++) ASSERT_EQ(out[i], '\x5a');
  utf2euc(Bytes(10000, 'a').c_str(), out.data());
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
  EXPECT_EQ(utf2euc_dir[0x24], nullptr);
  const long samples[][2] = {{0x301C, 0xA1C1}, {0x2015, 0xA1BD}, {0x2016, 0xA1C2}, {0x2212, 0xA1DD},
                             {0xFFE3, 0xA1B1}, {0xFFE5, 0xA1EF}, {0x005C, 0xA1C0}, {0x00A5, 0x5C},
                             {0x203E, 0x7E},   {0x0041, 0x41},   {0xFF61, 0xEE21}, {0xFF9F, 0xEE5F},
                             {0x3042, 0xA4A2}, {0xFF3C, 0},      {0xFF5E, 0},      {0xFF0D, 0},
                             {0x2225, 0},      {0x7E, 0},        {0x1F, 0}};
  for (const auto &s : samples) EXPECT_EQ(utf2euc_lookup(s[0]), s[1]) << std::hex << s[0];
}

// The rule for one code point, worked out from glibc's EUC-JP converter and
// the suite's deviations from it; -1 for no mapping.
long expected_euc(long cp) {
  if (cp == 0x5C) return 0xA1C0;
  if (cp == 0xFF3C || cp == 0xFF5E || cp == 0xFF0D || cp == 0x2225) return -1;
  if (cp == 0xA5) return 0x5C;
  if (cp == 0x203E) return 0x7E;
  if (cp >= 0x20 && cp <= 0x7D) return cp;
  if (cp < 0x80 || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  if (cp >= 0xFF61 && cp <= 0xFF9F) return 0xEE00 | (cp - 0xFF40);
  bool ok;
  Bytes e = gconv("UTF-8", "EUC-JP", utf8(cp), &ok);
  if (!ok || e.size() != 2) return -1;  // JIS X 0212 (0x8F) and the like
  unsigned a = static_cast<unsigned char>(e[0]), b = static_cast<unsigned char>(e[1]);
  if (a < 0xA1 || a > 0xFE || b < 0xA1 || b > 0xFE) return -1;
  return (a << 8) | b;
}

TEST(AgainstIconv, Utf2EucOnEveryBmpCodePoint) {
  NEED_ICONV();
  for (long cp = 1; cp <= 0xFFFF; cp++) {
    const int want = static_cast<int>(expected_euc(cp));
    const Bytes exp = want < 0 ? Bytes(1, '\0') : want > 0xFF ? B({want >> 8, want & 0xFF}) : B({want});
    ASSERT_EQ(U2E(utf8(cp)), exp) << "U+" << std::hex << cp;
  }
}

// Every cell of rows 1 to 84 goes there and back; the cells glibc knows must
// also give glibc's bytes, one by one and as a whole text.
TEST(AgainstIconv, Jis0208RowsOneTo84) {
  const bool have_iconv = ornix_test::japanese_iconv();
  size_t known = 0;
  Bytes mixed;
  for (int r = 0xA1; r <= 0xF4; r++)
    for (int c = 0xA1; c <= 0xFE; c++) {
      Bytes e = B({r, c});
      ASSERT_EQ(S2E(E2S(e)), e) << r << " " << c;
      ASSERT_EQ(J2E(E2J(e)), e);
      bool ok = false;
      if (have_iconv) gconv("EUC-JP", "UTF-8", e, &ok);
      if (!ok) continue;
      Bytes s = gconv("EUC-JP", "SHIFT_JIS", e, &ok);
      ASSERT_TRUE(ok);
      ASSERT_EQ(E2S(e), s) << r << " " << c;
      ASSERT_EQ(S2E(s), e);
      Bytes j = gconv("EUC-JP", "ISO-2022-JP", e, &ok);
      ASSERT_TRUE(ok);
      ASSERT_EQ(E2J(e), j);
      ASSERT_EQ(J2E(j), e);
      mixed += e + (known++ % 7 == 0 ? "a" : "");
    }
  if (!have_iconv) GTEST_SKIP() << "glibc has no Japanese iconv modules for this architecture";
  EXPECT_EQ(known, 6879u);
  bool ok;
  EXPECT_EQ(E2J(mixed), gconv("EUC-JP", "ISO-2022-JP", mixed, &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(J2E(E2J(mixed)), mixed);
  EXPECT_EQ(S2E(E2S(mixed)), mixed);
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
    ASSERT_EQ(J2E("\x0e" + B({k & 0x7F}) + "\x0f"), e);
  }
}

TEST(IconvWrappers, ConversionsAndLongTexts) {
  NEED_ICONV();
  std::vector<char> res(ICONV_BUFSIZE + 32, '\x5a');
  const char *text = "a\xe3\x81\x82z";
  UTF8toEUC(text, res.data());
  EXPECT_EQ(Bytes(res.data()), "a" + A + "z");
  UTF8toSJIS(text, res.data());
  EXPECT_EQ(Bytes(res.data()), "a" + B({0x82, 0xA0}) + "z");
  UTF8toJIS("\xe3\x81\x82", res.data());
  EXPECT_EQ(Bytes(res.data()), KI + "\x24\x22" + KO);
  iconv_str(text, res.data(), "NO-SUCH-CHARSET", ICONV_EUC);
  EXPECT_STREQ(res.data(), "");
  UTF8toEUC("ab\xff" "cd", res.data());  // an invalid sequence ends the result
  EXPECT_STREQ(res.data(), "ab");

  // 1024 input bytes end inside a three-byte character; still back to ASCII
  Bytes kana;
  for (int i = 0; i < 600; i++) kana += "\xe3\x81\x82";
  UTF8toJIS(kana.c_str(), res.data());
  Bytes out(res.data());
  Bytes kanji;
  for (int i = 0; i < 341; i++) kanji += "\x24\x22";
  EXPECT_EQ(out, KI + kanji + KO);
  // output fuller than the area: a character, then ASCII, again and again
  Bytes alt;
  for (int i = 0; i < 250; i++) alt += "\xe3\x81\x82" "a";
  UTF8toJIS(alt.c_str(), res.data());
  out = res.data();
  EXPECT_LE(out.size(), 1024u);
  EXPECT_EQ(out.substr(out.rfind('\x1b'), 3), KO);  // ends in ASCII
  bool ok;
  Bytes back = gconv("ISO-2022-JP", "UTF-8", out, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(back, alt.substr(0, back.size()));
  for (size_t i = ICONV_BUFSIZE; i < res.size(); i++) ASSERT_EQ(res[i], '\x5a');
}

// Random bytes with the counted forms: never more than cap bytes written,
// always terminated, never a byte read past len (the input has no NUL after
// it, so the sanitizer build would see an over-read). The plain forms get
// the same text without NUL bytes and an output of exactly their bound.
TEST(Bounds, RandomTextStaysWithinLengthAndCapacity) {
  std::mt19937 rng(7);
  const ConvN convs[] = {euc2jis_n, jis2euc_n, sjis2euc_n, euc2sjis_n, utf2euc_n};
  const unsigned char alphabet[] = {0x1B, '$', '(', 'B', 'I', '@', 'J', 0x0E, 0x0F, 0x21, 0x7E,
                                    0x8E, 0x8F, 0xA1, 0xFE, 0x81, 0x9F, 0xE0, 0xFC, 0xC3, 0xE3,
                                    0xEF, 0x80, 0xBF, 'a', 0x00, 0xFF, 0x20};
  for (int round = 0; round < 4000; round++) {
    size_t len = rng() % 24, cap = rng() % 12;
    auto in = std::make_unique<char[]>(len ? len : 1);
    for (size_t i = 0; i < len; i++) in[i] = static_cast<char>(alphabet[rng() % sizeof alphabet]);
    for (ConvN f : convs) {
      std::vector<char> out(cap + 16, '\x5a');
      size_t n = f(in.get(), len, out.data(), cap);
      if (cap == 0) {
        EXPECT_EQ(n, 0u);
      } else {
        ASSERT_LT(n, cap);
        EXPECT_EQ(out[n], '\0');
      }
      for (size_t i = cap; i < out.size(); i++) ASSERT_EQ(out[i], '\x5a');
    }
    Bytes text;
    for (size_t i = 0; i < len; i++)
      if (in[i]) text.push_back(in[i]);
    for (auto plain : {E2J, J2E, S2E, E2S}) plain(text);
  }
}

TEST(Bounds, CappedOutputEndsOnACharacter) {
  // room for 2 characters only: no half character, and ISO-2022-JP closed
  std::vector<char> out(64);
  Bytes euc = A + B({0xA4, 0xA4, 0xA4, 0xA6});
  size_t n = euc2jis_n(euc.data(), euc.size(), out.data(), 12);
  EXPECT_EQ(Bytes(out.data(), n), KI + "\x24\x22\x24\x24" + KO);
  n = jis2euc_n("\x1b$B\x24\x22\x24\x24", 7, out.data(), 4);
  EXPECT_EQ(Bytes(out.data(), n), A);
  n = sjis2euc_n("\x82\xa0\x82\xa2", 4, out.data(), 4);
  EXPECT_EQ(Bytes(out.data(), n), A);
  n = utf2euc_n("\xe3\x81\x82\xe3\x81\x84", 6, out.data(), 4);
  EXPECT_EQ(Bytes(out.data(), n), A);
}

}  // namespace
