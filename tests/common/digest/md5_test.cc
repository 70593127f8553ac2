// Digests, Base64 and CRAM-MD5 against the published test vectors.
#include "md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

std::string Hex(const unsigned char d[16]) {
  char h[33];
  md5hex(d, h);
  return h;
}

std::string Md5Of(const std::string &s) {
  unsigned char d[16];
  str2md5(s.data(), static_cast<uint32_t>(s.size()), d);
  return Hex(d);
}

std::string Bytes(size_t n, int mod) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % mod);
  return s;
}

TEST(Md5, FileAndMemoryVectors) {
  ornix_test::TempDir dir;
  auto write = [&](const std::string &content) { return dir.Write("f", content); };
  const struct {
    std::string in;
    const char *md5;
  } cases[] = {
      // RFC 1321, appendix A.5.
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // Bytes >= 0x80 must not sign-extend into the word assembly.
      {Bytes(256, 256), "e2c865db4162bed963bfaa9ef6ac18f0"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Md5Of(c.in), c.md5) << c.in;
    unsigned char d[16];
    EXPECT_EQ(md5sum(write(c.in).c_str(), d), 0);
    EXPECT_EQ(Hex(d), c.md5) << c.in;
  }
  // More than one read block, with a tail.
  std::string big = Bytes(3 * 65536 + 1234, 251);
  unsigned char d[16];
  EXPECT_EQ(md5sum(write(big).c_str(), d), 0);
  EXPECT_EQ(Hex(d), Md5Of(big));
  // A directory opens but every read fails: no digest of "nothing" may be
  // handed out as the content's digest.
  for (const std::string &path : {dir.file("none"), dir.path()}) {
    memset(d, 0xA5, sizeof d);
    EXPECT_EQ(md5sum(path.c_str(), d), -1) << path;
    for (unsigned char b : d) EXPECT_EQ(b, 0xA5) << path;
  }
}

TEST(Md5Ctx, PiecewiseUpdatesAndWipedContext) {
  // Every split point across block boundaries must give the same digest.
  std::string msg = Bytes(300, 253);
  const std::string whole = Md5Of(msg);
  for (size_t cut = 0; cut <= msg.size(); ++cut) {
    MD5_CTX c;
    MD5Init(&c);
    MD5Update(&c, msg.data(), static_cast<uint32_t>(cut));
    MD5Update(&c, msg.data() + cut, static_cast<uint32_t>(msg.size() - cut));
    unsigned char d[16];
    MD5Final(d, &c);
    ASSERT_EQ(Hex(d), whole) << "cut at " << cut;
    const MD5_CTX zero{};
    ASSERT_EQ(memcmp(&c, &zero, sizeof c), 0);  // no trace of the message left
  }
}

std::string Enc(const std::string &s) {
  std::vector<char> a(base64EncodedSize(s.size())), b(a.size()), c(a.size());
  base64Encode(s.data(), s.size(), a.data());
  base64encodeN(s.data(), s.size(), b.data());
  EXPECT_STREQ(a.data(), b.data());
  base64encode(s.c_str(), c.data());  // stops at the first NUL
  std::string head = s.substr(0, s.find('\0'));
  base64Encode(head.data(), head.size(), b.data());
  EXPECT_STREQ(c.data(), b.data());
  return a.data();
}

// Both decoders, checking the terminator after the counted bytes.
std::string Dec(const std::string &t, bool stream) {
  std::vector<char> out(base64DecodedMax(t.size()) + 1, '\x7f');
  size_t n = stream ? base64DecodeLen(t.c_str(), out.data()) : base64decodeLen(t.c_str(), out.data());
  EXPECT_EQ(out[n], '\0');
  return std::string(out.data(), n);
}

TEST(Base64, VectorsBothWays) {
  const struct {
    std::string raw, text;
  } cases[] = {
      // RFC 4648, section 10.
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      // AUTH PLAIN's "\0user\0pass" keeps its NUL bytes in the counted encoders.
      {std::string("\0tim\0pw", 7), "AHRpbQBwdw=="},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Enc(c.raw), c.text);
    EXPECT_EQ(Dec(c.text, false), c.raw);
    EXPECT_EQ(Dec(c.text, true), c.raw);
  }
  std::string all = Bytes(256, 256), e = Enc(all);
  EXPECT_EQ(Dec(e, false), all);
  EXPECT_EQ(Dec(e, true), all);
  EXPECT_EQ(Enc(std::string(58, 'x')).size(), 80u);  // no line breaks
  // Null data: nothing written, not even the terminator.
  char keep[4] = "kkk";
  base64Encode(nullptr, 3, keep);
  base64Decode(nullptr, keep);
  EXPECT_STREQ(keep, "kkk");
}

TEST(Base64, DecoderQuirks) {
  const struct {
    const char *text;
    bool stream;
    std::string raw;
  } cases[] = {
      {"QQ", true, "A"},  // an unpadded pair is the same byte as a padded one
      // A skipped stranger still takes its place in the 4-character phase.
      {"QU\nJD", true, "AI"},
      // Bytes above 127 are strangers, not letters in disguise.
      {"\xc1\xc1\xc1\xc1", true, ""},
      // The group decoder never reads past the terminator on a short group.
      {"QUJDQ", false, "ABC"},
      {"QUJDQQ", false, "ABCA"},
  };
  for (const auto &c : cases) EXPECT_EQ(Dec(c.text, c.stream), c.raw) << c.text;
  for (int i = 0; i < 64; ++i) EXPECT_EQ(mimetbl[static_cast<unsigned char>(base64tbl[i])], i);
  EXPECT_EQ(mimetbl[static_cast<unsigned char>('=')], 64);
  for (int i = 128; i < 256; ++i) EXPECT_EQ(mimetbl[i], 64);
}

TEST(Hex, DigitsAndPads) {
  EXPECT_EQ(dehex('7') + dehex('c') + dehex('C'), 7 + 12 + 12);
  EXPECT_EQ(dehex('g') + dehex(static_cast<char>(0xB7)), -2);
  char r[3];
  bin2hex(0x1AB, r);
  EXPECT_STREQ(r, "ab");
  // A text longer than the block is used only up to the block.
  unsigned char pad[64], res[65];
  memset(pad, 0x36, sizeof pad);
  exor(std::string(100, 'z').c_str(), pad, res);
  EXPECT_EQ(res[63], 'z' ^ 0x36);
  EXPECT_EQ(res[64], 0);
}

// hmac_md5encode's answer to challenge (raw text), Base64-decoded: "user hexdigest".
std::string Cram(const std::string &challenge, const std::string &user, const std::string &pass) {
  std::vector<char> res(base64EncodedSize(CRAM_MD5_USER_MAX + 33) + 64, '\x7f');
  hmac_md5encode(Enc(challenge).c_str(), user.c_str(), pass.c_str(), res.data());
  return Dec(res.data(), true);
}

TEST(CramMd5, Rfc2202Vectors) {
  EXPECT_EQ(Cram("what do ya want for nothing?", "u", "Jefe"),
            "u 750c783e6ab0b503eaa86e310a5db738");
  // Keys longer than the block are hashed first (RFC 2104), as every server does.
  EXPECT_EQ(Cram("Test Using Larger Than Block-Size Key - Hash Key First", "u",
                 std::string(80, '\xaa')),
            "u 6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

TEST(CramMd5, LimitsAreRefusedNotOverrun) {
  std::string user(CRAM_MD5_USER_MAX, 'U');
  EXPECT_EQ(Cram("<1@x>", user, "pw").size(), CRAM_MD5_USER_MAX + 33);
  EXPECT_EQ(Cram("<1@x>", user + "U", "pw"), "");
  // A long challenge (well past the traditional 192 bytes) is still answered.
  EXPECT_EQ(Cram(std::string(CRAM_MD5_CHALLENGE_MAX - 1, 'c'), "u", "pw").size(), 34u);
  char res[512];
  memset(res, 'x', sizeof res);
  hmac_md5encode(std::string(5000, 'Q').c_str(), "u", "pw", res);
  EXPECT_STREQ(res, "");
}

TEST(CramMd5, Rfc2195ExampleWithThePasswordKeptOutOfTheLog) {
  ornix_test::LogCapture log(8192);
  char res[512];
  hmac_md5encode("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", "tim",
                 "tanstaaftanstaaf", res);
  EXPECT_STREQ(res, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
  EXPECT_TRUE(log.Has("[DEBUG] CRAM MD5 tim b913a602c7eda7a495b4e6e7334d3890")) << log.text();
  EXPECT_TRUE(log.Has("[DEBUG] hmac_md5encode "));
  EXPECT_FALSE(log.Has("tanstaaf")) << log.text();
}

}  // namespace
