// Long ISO-2022-JP lines, long encoded words and hostile header texts: the
// converter and the decoder must keep what fits and stay linear.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "test_util.h"

namespace {

std::string gconv(const char *from, const char *to, const std::string &in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
  std::vector<char> out(in.size() * 4 + 16);
  char *ip = const_cast<char *>(in.data());
  size_t il = in.size();
  char *op = out.data();
  size_t ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  if (r != static_cast<size_t>(-1)) r = iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  return r == static_cast<size_t>(-1) ? "<invalid>" : std::string(out.data(), op);
}

std::string repeat(const std::string &s, int n) {
  std::string r;
  for (int i = 0; i < n; i++) r += s;
  return r;
}

std::string decode(const std::string &header) {
  char *p = DecodeHeaderMIME(header.c_str());
  std::string r = p ? p : "<null>";
  free(p);
  return r;
}

const std::string A_UTF8 = "\xe3\x81\x82";  // U+3042
const std::string A_EUC = "\xa4\xa2";

}  // namespace

// The longest whole-character prefix whose ISO-2022-JP form, back in ASCII,
// fits 1024 bytes: the prefix is what iconv makes of the same characters.
TEST(Utf8ToJisLongLines, LongestPrefixThatFitsEndsInAscii) {
  NEED_ICONV();
  struct Case {
    const char *name;
    std::string text;
  } cases[] = {
      {"510 kana", repeat(A_UTF8, 510)},
      {"kana and ASCII alternating", repeat(A_UTF8 + "a", 250)},
      {"words", repeat("abc " + A_UTF8 + A_UTF8 + " ", 120)},
      {"kana then one ASCII", repeat(A_UTF8, 340) + "z"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> res(ICONV_BUFSIZE + 16, '\x5a');
    UTF8toJIS(c.text.c_str(), res.data());
    std::string out = res.data();
    for (size_t i = ICONV_BUFSIZE; i < res.size(); i++) ASSERT_EQ(res[i], '\x5a');
    ASSERT_FALSE(out.empty());
    ASSERT_LE(out.size(), 1024u);
    size_t esc = out.rfind('\x1b');
    ASSERT_NE(esc, std::string::npos);
    EXPECT_EQ(out.substr(esc, 3), "\x1b(B");
    std::string back = gconv("ISO-2022-JP", "UTF-8", out);
    ASSERT_EQ(back, c.text.substr(0, back.size()));
    // one more character would not have fitted
    if (back.size() < c.text.size()) {
      size_t next = back.size() + 1;
      while (next < c.text.size() && (static_cast<unsigned char>(c.text[next]) & 0xC0) == 0x80)
        next++;
      if (next <= 1024) {
        EXPECT_GT(gconv("UTF-8", "ISO-2022-JP", c.text.substr(0, next)).size(), 1024u);
      }
    }
  }
}

TEST(Utf8ToJisLongLines, CountedFormReportsInputTaken) {
  NEED_ICONV();
  std::string text = repeat(A_UTF8 + "a", 300);
  char out[64];
  size_t used = 0;
  size_t n = iconv_str_n(text.data(), text.size(), out, sizeof out, ICONV_UTF8, ICONV_JIS, &used);
  EXPECT_EQ(n, strlen(out));
  EXPECT_EQ(gconv("ISO-2022-JP", "UTF-8", out), text.substr(0, used));
  EXPECT_EQ(used % 4, 0u);  // whole characters only
}

// Encoded words whose encoded text is long but whose decoded bytes fit the
// 8192-byte areas are decoded; those that do not fit stay as they came.
TEST(DecodeHeaderLongWords, DecodedWhenTheResultFits) {
  std::string q_long = repeat("=41", 8000);          // 24000 characters, 8000 bytes
  std::string b_long = std::string(10924 - 2, 'Q');  // padded below: 8191 bytes
  b_long = repeat("QUFB", 2730) + "QQ==";
  struct Case {
    const char *name;
    std::string header;
    std::string want;
  } cases[] = {
      {"Q over 8191 characters", "x =?US-ASCII?Q?" + q_long + "?= y", "x " + repeat("A", 8000) + " y"},
      {"B over 10920 characters", "=?US-ASCII?B?" + b_long + "?=", repeat("A", 8191)},
      {"B of ISO-2022-JP", "=?ISO-2022-JP?B?GyRCJCIbKEI=?=", A_EUC},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.header), c.want);
  }
  // 8192 decoded bytes do not fit: the word comes back unchanged
  std::string too_big = "=?US-ASCII?Q?" + repeat("A", 8192) + "?=";
  EXPECT_EQ(decode(too_big), too_big);
}

// "=?a" over and over, and words too long to decode, must cost one pass:
// four times the text must not take sixteen times as long (it took 14.5 s
// for 1.2 MB when every "=?" searched the rest of the text again).
// A word the decoder cannot use must not make it search the rest of the
// header again: 4 MB of such words take a fraction of a second in one pass and
// minutes when every "=?" rescans the tail. The child gets 30 s, a bound no
// load or sanitizer comes near, so this never depends on the machine's speed.
TEST(DecodeHeaderHostile, OnePassOverTheHeader) {
  for (const std::string &unit : {std::string("=?a"), std::string("=?x?Q?") + repeat("a", 9000)}) {
    std::string text = repeat(unit, 4000000 / static_cast<int>(unit.size()));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(30);
      _exit(decode(text) == text ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "still decoding after 30 s" : "the header came back changed");
  }
}
