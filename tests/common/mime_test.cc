// MIME header words: the documented cases, malformed and over-long words,
// growth of the result and a failing realloc; encoded words made by the
// suite come back through glibc's iconv-made text.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert.h"
#include "log.h"

namespace {

struct FreeDeleter {
  void operator()(char *p) const { free(p); }
};

std::string decode(const std::string &s) {
  std::unique_ptr<char, FreeDeleter> r(DecodeHeaderMIME(s.c_str()));
  EXPECT_NE(r, nullptr);
  return r ? std::string(r.get()) : std::string();
}

TEST(DecodeHeaderMIME, DocumentedWords) {
  EXPECT_EQ(decode("=?ISO-2022-JP?B?GyRCJCIbKEI=?="), "\xa4\xa2");
  EXPECT_EQ(decode("=?iso-2022-jp?b?GyRCJCIbKEI=?="), "\xa4\xa2");
  EXPECT_EQ(decode("=?UTF-8?Q?a_b?="), "a b");
  EXPECT_EQ(decode("=?US-ASCII?Q?=41?="), "A");
  EXPECT_EQ(decode("=?ISO-8859-1?Q?caf=E9?="), "caf\xe9");
  EXPECT_EQ(decode("=?KOI8-R?B?abc?="), "=?KOI8-R?B?abc?=");
  EXPECT_EQ(decode("=?UTF-8?X?abc?="), "X?abc?=");
  EXPECT_EQ(decode("a =?US-ASCII?Q?b?= =?US-ASCII?Q?c?="), "a b c");
  EXPECT_EQ(decode("=?Shift_JIS?B?gqA=?="), "\xa4\xa2");
  EXPECT_EQ(decode("=?UTF-8?B?44GC?="), "\xa4\xa2");
  EXPECT_EQ(decode("Eicar-Test-Signature"), "Eicar-Test-Signature");
  EXPECT_EQ(decode("x=y =? =?"), "x=y =? =?");
}

TEST(DecodeHeaderMIME, ConsumedCountsOfOneWord) {
  char out[MIME_WORD_BUFSIZE];
  EXPECT_EQ(mime_decode("ISO-2022-JP?B?GyRCJCIbKEI=?=rest", out), 28);
  EXPECT_STREQ(out, "\xa4\xa2");
  EXPECT_EQ(mime_decode("KOI8-R?B?abc?=rest", out), 14);
  EXPECT_STREQ(out, "=?KOI8-R?B?abc?=");
  EXPECT_EQ(mime_decode("UTF-8?X?abc?=", out), 6);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(mime_decode("ISO-8859-15?Q?x?=", out), 17);
  EXPECT_STREQ(out, "x");
}

TEST(DecodeHeaderMIME, UnfinishedWordsStopAtTheEnd) {
  // nothing may be consumed past the terminator
  char out[MIME_WORD_BUFSIZE];
  EXPECT_EQ(mime_decode("KOI8-R?B?abc", out), 12);
  EXPECT_STREQ(out, "=?KOI8-R?B?abc");
  EXPECT_EQ(mime_decode("UTF-8?Q?abc?", out), 12);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(mime_decode("UTF-8?Q?abc", out), 11);
  EXPECT_EQ(mime_decode("ISO-8859-1", out), 10);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(mime_decode("UTF-8?Q", out), 6);
  EXPECT_EQ(mime_decode("", out), 0);
  EXPECT_STREQ(out, "=?");
  EXPECT_EQ(decode("a=?KOI8-R?B?abc"), "a=?KOI8-R?B?abc");
  EXPECT_EQ(decode("a=?UTF-8?Q?b?"), "ab");
  EXPECT_EQ(decode("=?"), "=?");
  EXPECT_EQ(decode("=?UTF-8?B?44G"), "");  // cut Base64 group, cut character
  EXPECT_EQ(decode("=?UTF-8?Q?a=4"), "a");  // "=" without two characters
}

TEST(DecodeHeaderMIME, LongTexts) {
  std::string plain(20000, 'p');
  EXPECT_EQ(decode(plain), plain);
  std::string words;
  std::string expect;
  for (int i = 0; i < 3000; i++) {
    words += "=?ISO-2022-JP?B?GyRCJCIbKEI=?= ";
    expect += "\xa4\xa2 ";
  }
  EXPECT_EQ(decode(words), expect);
  // an encoded text too long for the working areas stays encoded, unchanged
  std::string huge = "=?UTF-8?B?" + std::string(20000, 'Q') + "?= tail";
  EXPECT_EQ(decode(huge), huge);
  std::string hugeq = "=?UTF-8?Q?" + std::string(9000, 'q') + "?=";
  EXPECT_EQ(decode(hugeq), hugeq);
  std::string unknown = "=?X-LONG?B?" + std::string(9000, 'u') + "?=";
  EXPECT_EQ(decode(unknown), unknown);
  // a long word that fits is decoded; its conversion is cut at the area's end
  std::string q(8000, 'a');
  EXPECT_EQ(decode("=?UTF-8?Q?" + q + "?="), q);
  std::string kana;
  for (int i = 0; i < 4500; i++) kana += "\xb1";  // Shift_JIS half-width katakana
  char coded[16384];
  mime_encode(kana.c_str(), coded);
  std::string got = decode(std::string("=?Shift_JIS?B?") + coded + "?=");
  EXPECT_EQ(got.size(), 8190u);
  EXPECT_EQ(got.substr(0, 4), "\x8e\xb1\x8e\xb1");
}

TEST(DecodeHeaderMIME, NullTextGivesEmptyResult) {
  std::unique_ptr<char, FreeDeleter> r(DecodeHeaderMIME(nullptr));
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r.get(), "");
}

#if defined(__SANITIZE_ADDRESS__)
#define ORNIX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORNIX_ASAN 1
#endif
#endif

constexpr size_t REALLOC_INPUT = 64u << 20;

// The result must be a prefix of the input, cut where memory ran out.
int decode_under_short_memory(const std::string &input) {
  char *r = DecodeHeaderMIME(input.c_str());
  if (!r) return 5;
  size_t n = strlen(r);
  bool prefix = n > 0 && n < input.size() && strspn(r, "z") == n;
  free(r);
  return prefix ? 0 : 6;
}

TEST(DecodeHeaderMIME, SurvivesAFailingRealloc) {
  // A real allocation failure in a child process, so that the result cannot
  // grow to the size of the input.
#ifdef ORNIX_ASAN
  // The sanitizer's allocator refuses blocks over a size given at start-up
  // (12 MiB): the test runs itself again with that option, on an input that
  // fits one block while the doubled result does not.
  if (getenv("ORNIX_REALLOC_CHILD")) {
    EXPECT_EQ(decode_under_short_memory(std::string(10u << 20, 'z')), 0);
    return;
  }
#endif
  std::string input(REALLOC_INPUT, 'z');
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
#ifdef ORNIX_ASAN
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=12", 1);
    setenv("ORNIX_REALLOC_CHILD", "1", 1);
    execl("/proc/self/exe", "mime_test", "--gtest_filter=DecodeHeaderMIME.SurvivesAFailingRealloc",
          static_cast<char *>(nullptr));
    _exit(127);
#else
    struct rlimit rl;
    FILE *f = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!f || fscanf(f, "%lu", &pages) != 1) _exit(3);
    fclose(f);
    rl.rlim_cur = rl.rlim_max = pages * sysconf(_SC_PAGESIZE) + (16u << 20);
    if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(4);
    // user-mode emulators do not apply the limit to the emulated program
    if (malloc(REALLOC_INPUT)) _exit(77);
    _exit(decode_under_short_memory(input));
#endif
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the address-space limit has no effect here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Qqdecode, Rules) {
  char out[64];
  qqdecode("a=41_b", out);
  EXPECT_STREQ(out, "aA b");
  qqdecode("=e9=E9", out);
  EXPECT_STREQ(out, "\xe9\xe9");
  qqdecode("x=4", out);
  EXPECT_STREQ(out, "x");
  qqdecode("x=", out);
  EXPECT_STREQ(out, "x");
  // non-hex digits count as -1: (16 * -1 + 0x1) mod 256
  qqdecode("=g1", out);
  EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xF1);
  EXPECT_EQ(out[1], 0);
}

TEST(EncodeHeaderMIME, Words) {
  char res[MIME_WORD_BUFSIZE];
  EncodeHeaderMIME("abc", res, "ISO-2022-JP");
  EXPECT_STREQ(res, "=?ISO-2022-JP?B?YWJj?=");
  mime_encode("", res);
  EXPECT_STREQ(res, "");
  mime_encode("a", res);
  EXPECT_STREQ(res, "YQ==");
  mime_encode("ab", res);
  EXPECT_STREQ(res, "YWI=");
  // the longest text that still makes one word of at most 8191 characters
  std::string t(6126, 'x');
  EncodeHeaderMIME(t.c_str(), res, "UTF-8");
  EXPECT_EQ(strlen(res), 2 + 5 + 3 + 8168 + 2u);
}

TEST(EncodeHeaderMIME, TooLongTextIsRefusedAndLogged) {
  FILE *log = tmpfile();
  ASSERT_NE(log, nullptr);
  FILE *old = OrnixLog;
  int oldLevel = LogLevel;
  OrnixLog = log;
  LogLevel = 16;
  std::vector<char> res(MIME_WORD_BUFSIZE, 'k');
  std::string t(6200, 'x');
  EncodeHeaderMIME(t.c_str(), res.data(), "UTF-8");
  OrnixLog = old;
  LogLevel = oldLevel;
  EXPECT_STREQ(res.data(), "");
  rewind(log);
  char line[512] = {};
  ASSERT_NE(fgets(line, sizeof line, log), nullptr);
  EXPECT_NE(strstr(line, "EncodeHeaderMIME: text of 6200 bytes"), nullptr) << line;
  fclose(log);
}

// glibc loads its Japanese converters as modules; a cross-built test run
// under an emulator has none for the target architecture.
bool japanese_iconv() {
  iconv_t cd = iconv_open("ISO-2022-JP", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

TEST(EncodeHeaderMIME, RoundTripThroughTheIconvWrappers) {
  if (!japanese_iconv()) GTEST_SKIP() << "glibc has no Japanese iconv modules for this architecture";
  // UTF-8 text made ISO-2022-JP, Shift_JIS and EUC-JP by glibc, wrapped into
  // a word and decoded again must give the EUC-JP glibc makes
  const char *text = "\xe6\xa4\x9c\xe5\x87\xba: \xe3\x82\xa6\xe3\x82\xa4\xe3\x83\xab\xe3\x82\xb9 Eicar";
  char euc[ICONV_BUFSIZE], conv[ICONV_BUFSIZE], word[MIME_WORD_BUFSIZE];
  UTF8toEUC(text, euc);
  ASSERT_GT(strlen(euc), 10u);
  UTF8toJIS(text, conv);
  EncodeHeaderMIME(conv, word, "ISO-2022-JP");
  EXPECT_EQ(decode(std::string("Name: ") + word), std::string("Name: ") + euc);
  UTF8toSJIS(text, conv);
  EncodeHeaderMIME(conv, word, "Shift_JIS");
  EXPECT_EQ(decode(word), euc);
  EncodeHeaderMIME(text, word, "UTF-8");
  EXPECT_EQ(decode(word), euc);
}

}  // namespace
