// MIME header words: the documented cases, malformed and over-long words,
// growth of the result and a failing realloc. The converters behind the
// words are compared with glibc's iconv in convert_test.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert.h"
#include "test_util.h"

namespace {

struct FreeDeleter {
  void operator()(char *p) const { free(p); }
};

std::string decode(const char *s) {
  std::unique_ptr<char, FreeDeleter> r(DecodeHeaderMIME(s));
  EXPECT_NE(r, nullptr);
  return r ? std::string(r.get()) : std::string();
}
std::string decode(const std::string &s) { return decode(s.c_str()); }

// What follows a word shows how much of the input the word took.
TEST(DecodeHeaderMIME, Words) {
  const char *rows[][2] = {
      {"=?ISO-2022-JP?B?GyRCJCIbKEI=?=rest", "\xa4\xa2rest"},
      {"=?iso-2022-jp?b?GyRCJCIbKEI=?=", "\xa4\xa2"},
      {"a =?UTF-8?Q?b_c?= =?US-ASCII?Q?=41?=", "a b c A"},
      {"=?ISO-8859-1?Q?caf=E9?=", "caf\xe9"},
      {"=?ISO-8859-15?Q?x?=y", "xy"},
      {"=?Shift_JIS?B?gqA=?=", "\xa4\xa2"},
      {"=?UTF-8?B?44GC?=", "\xa4\xa2"},
      {"=?KOI8-R?B?abc?=rest", "=?KOI8-R?B?abc?=rest"},
      {"=?UTF-8?X?abc?=", "X?abc?="},
      {"x=y =? =?", "x=y =? =?"},
      // unfinished words: nothing is taken past the terminator
      {"a=?KOI8-R?B?abc", "a=?KOI8-R?B?abc"},
      {"=?UTF-8?Q?abc?", "abc"},
      {"=?ISO-8859-1", ""},
      {"=?UTF-8?Q", "Q"},
      {"=?", "=?"},
      {"=?UTF-8?B?44G", ""},  // cut Base64 group, cut character
      {"=?UTF-8?Q?a=4", "a"},  // "=" without two characters
  };
  for (const auto &r : rows) EXPECT_EQ(decode(r[0]), r[1]) << r[0];
  EXPECT_EQ(decode(nullptr), "");
}

TEST(DecodeHeaderMIME, LongTexts) {
  std::string plain(20000, 'p'), words, expect;
  for (int i = 0; i < 3000; i++) {
    words += "=?ISO-2022-JP?B?GyRCJCIbKEI=?= " + plain.substr(0, i % 5);
    expect += "\xa4\xa2 " + plain.substr(0, i % 5);
  }
  EXPECT_EQ(decode(plain), plain);
  EXPECT_EQ(decode(words), expect);
  // an encoded text too long for the working areas stays encoded, unchanged
  for (const std::string &huge : {"=?UTF-8?B?" + std::string(20000, 'Q') + "?= tail",
                                  "=?UTF-8?Q?" + std::string(9000, 'q') + "?=",
                                  "=?X-LONG?B?" + std::string(9000, 'u') + "?="})
    EXPECT_EQ(decode(huge), huge);
  // a long word that fits is decoded; its conversion is cut at the area's end
  std::string q(8000, 'a');
  EXPECT_EQ(decode("=?UTF-8?Q?" + q + "?="), q);
  std::string kana(4500, '\xb1');  // Shift_JIS half-width katakana
  char coded[16384];
  mime_encode(kana.c_str(), coded);
  std::string got = decode(std::string("=?Shift_JIS?B?") + coded + "?=");
  EXPECT_EQ(got.size(), 8190u);
  EXPECT_EQ(got.substr(0, 4), "\x8e\xb1\x8e\xb1");
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
  ornix_test::Child child;
  ASSERT_TRUE(child.Fork([&] {
#ifdef ORNIX_ASAN
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=12", 1);
    setenv("ORNIX_REALLOC_CHILD", "1", 1);
    execl("/proc/self/exe", "mime_test", "--gtest_filter=DecodeHeaderMIME.SurvivesAFailingRealloc",
          static_cast<char *>(nullptr));
    return 127;
#else
    struct rlimit rl;
    FILE *f = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!f || fscanf(f, "%lu", &pages) != 1) return 3;
    fclose(f);
    rl.rlim_cur = rl.rlim_max = pages * sysconf(_SC_PAGESIZE) + (16u << 20);
    if (setrlimit(RLIMIT_AS, &rl) != 0) return 4;
    // user-mode emulators do not apply the limit to the emulated program
    if (malloc(REALLOC_INPUT)) return 77;
    return decode_under_short_memory(input);
#endif
  }));
  int status = child.Wait(120);
  if (status == 77) GTEST_SKIP() << "the address-space limit has no effect here";
  EXPECT_EQ(status, 0);
}

TEST(Qqdecode, Rules) {
  // non-hex digits count as -1: =g1 is (16 * -1 + 0x1) mod 256
  const char *rows[][2] = {{"a=41_b", "aA b"}, {"=e9=E9", "\xe9\xe9"}, {"x=4", "x"}, {"x=", "x"}, {"=g1", "\xf1"}};
  char out[64];
  for (const auto &r : rows) {
    qqdecode(r[0], out);
    EXPECT_STREQ(out, r[1]) << r[0];
  }
}

TEST(EncodeHeaderMIME, WordsAndTheLengthLimit) {
  std::vector<char> res(MIME_WORD_BUFSIZE, 'k');
  EncodeHeaderMIME("abc", res.data(), "ISO-2022-JP");
  EXPECT_STREQ(res.data(), "=?ISO-2022-JP?B?YWJj?=");
  mime_encode("a", res.data());
  EXPECT_STREQ(res.data(), "YQ==");
  mime_encode("ab", res.data());
  EXPECT_STREQ(res.data(), "YWI=");
  // the longest text that still makes one word of at most 8191 characters
  EncodeHeaderMIME(std::string(6126, 'x').c_str(), res.data(), "UTF-8");
  EXPECT_EQ(strlen(res.data()), 2 + 5 + 3 + 8168 + 2u);

  ornix_test::LogCapture log(16);
  EncodeHeaderMIME(std::string(6200, 'x').c_str(), res.data(), "UTF-8");
  EXPECT_STREQ(res.data(), "");
  EXPECT_TRUE(log.Has("EncodeHeaderMIME: text of 6200 bytes")) << log.text();
}

}  // namespace
