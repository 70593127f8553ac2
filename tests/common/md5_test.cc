// Digests, Base64 and CRAM-MD5 against the published test vectors.
#include "md5.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"

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

struct Vector {
  const char *in;
  const char *md5;
};

// RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890"
     "123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char t[] = "/tmp/ornix_md5_test.XXXXXX";
    ASSERT_NE(mkdtemp(t), nullptr);
    dir_ = t;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
  }
  std::string Write(const std::string &name, const std::string &content) {
    std::string p = dir_ + "/" + name;
    FILE *f = fopen(p.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      fwrite(content.data(), 1, content.size(), f);
      fclose(f);
    }
    return p;
  }
  std::string dir_;
};

TEST(Md5, Rfc1321Suite) {
  for (const auto &v : kRfc1321) EXPECT_EQ(Md5Of(v.in), v.md5) << '"' << v.in << '"';
}

TEST(Md5, PiecewiseUpdatesMatchOneShot) {
  // Every split point across block boundaries must give the same digest.
  std::string msg;
  for (int i = 0; i < 300; ++i) msg.push_back(static_cast<char>(i * 7 + 3));
  const std::string whole = Md5Of(msg);
  for (size_t cut = 0; cut <= msg.size(); ++cut) {
    MD5_CTX c;
    MD5Init(&c);
    MD5Update(&c, msg.data(), static_cast<uint32_t>(cut));
    MD5Update(&c, msg.data() + cut, static_cast<uint32_t>(msg.size() - cut));
    unsigned char d[16];
    MD5Final(d, &c);
    ASSERT_EQ(Hex(d), whole) << "cut at " << cut;
  }
}

TEST(Md5, HighBytesAndMillionA) {
  // Bytes >= 0x80 must not sign-extend into the word assembly.
  EXPECT_EQ(Md5Of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
  std::string hi(256, '\0');
  for (int i = 0; i < 256; ++i) hi[i] = static_cast<char>(i);
  EXPECT_EQ(Md5Of(hi), "e2c865db4162bed963bfaa9ef6ac18f0");
}

TEST(Md5, FinalZeroesContext) {
  MD5_CTX c;
  MD5Init(&c);
  MD5Update(&c, "secret", 6);
  unsigned char d[16];
  MD5Final(d, &c);
  const unsigned char *p = reinterpret_cast<const unsigned char *>(&c);
  for (size_t i = 0; i < sizeof c; ++i) ASSERT_EQ(p[i], 0) << i;
}

using Md5File = TempDir;

TEST_F(Md5File, DigestsFileContent) {
  for (const auto &v : kRfc1321) {
    unsigned char d[16];
    ASSERT_EQ(md5sum(Write("f", v.in).c_str(), d), 0);
    EXPECT_EQ(Hex(d), v.md5);
  }
  // Larger than one read block, with a tail.
  std::string big(3 * 65536 + 1234, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  unsigned char d[16];
  ASSERT_EQ(md5sum(Write("big", big).c_str(), d), 0);
  EXPECT_EQ(Hex(d), Md5Of(big));
}

TEST_F(Md5File, MissingFileLeavesDigestUntouched) {
  unsigned char d[16];
  memset(d, 0xA5, sizeof d);
  EXPECT_EQ(md5sum((dir_ + "/none").c_str(), d), -1);
  for (unsigned char b : d) EXPECT_EQ(b, 0xA5);
}

TEST_F(Md5File, ReadErrorIsAFailureNotADigest) {
  // A directory opens but every read fails: no digest of "nothing" may be
  // handed out as the content's digest.
  unsigned char d[16];
  memset(d, 0xA5, sizeof d);
  EXPECT_EQ(md5sum(dir_.c_str(), d), -1);
  for (unsigned char b : d) EXPECT_EQ(b, 0xA5);
}

std::string Enc(const std::string &s) {
  std::vector<char> out(base64EncodedSize(s.size()));
  base64Encode(s.data(), s.size(), out.data());
  std::string a = out.data();
  std::vector<char> out2(base64EncodedSize(s.size()));
  base64encodeN(s.data(), s.size(), out2.data());
  EXPECT_EQ(a, out2.data());
  if (s.find('\0') == std::string::npos) {
    std::vector<char> out3(base64EncodedSize(s.size()));
    base64encode(s.c_str(), out3.data());
    EXPECT_EQ(a, out3.data());
  }
  return a;
}

std::string DecGroup(const std::string &t) {
  std::vector<char> out(base64DecodedMax(t.size()) + 1, '\x7f');
  size_t n = base64decodeLen(t.c_str(), out.data());
  EXPECT_EQ(out[n], '\0');
  return std::string(out.data(), n);
}

std::string DecStream(const std::string &t) {
  std::vector<char> out(base64DecodedMax(t.size()) + 1, '\x7f');
  size_t n = base64DecodeLen(t.c_str(), out.data());
  EXPECT_EQ(out[n], '\0');
  return std::string(out.data(), n);
}

TEST(Base64, Rfc4648Vectors) {
  const char *pairs[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                            {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                            {"foobar", "Zm9vYmFy"}};
  for (auto &p : pairs) {
    EXPECT_EQ(Enc(p[0]), p[1]);
    EXPECT_EQ(DecGroup(p[1]), p[0]);
    EXPECT_EQ(DecStream(p[1]), p[0]);
  }
}

TEST(Base64, NoLineBreaksAndCountedNul) {
  std::string e57 = Enc(std::string(57, 'x'));
  EXPECT_EQ(e57.size(), 76u);
  std::string e58 = Enc(std::string(58, 'x'));
  EXPECT_EQ(e58.size(), 80u);
  EXPECT_EQ(e58.find('\n'), std::string::npos);
  // AUTH PLAIN's "\0user\0pass" keeps its NUL bytes in the counted encoder.
  std::string plain("\0tim\0pw", 7);
  EXPECT_EQ(Enc(plain), "AHRpbQBwdw==");
  char out[16];
  base64encode(plain.c_str(), out);  // stops at the first NUL
  EXPECT_STREQ(out, "");
  // Null data: nothing written, not even the terminator.
  char keep[4] = {'k', 'k', 'k', 0};
  base64Encode(nullptr, 3, keep);
  EXPECT_STREQ(keep, "kkk");
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  std::string e = Enc(all);
  EXPECT_EQ(DecGroup(e), all);
  EXPECT_EQ(DecStream(e), all);
}

TEST(Base64, DecoderQuirks) {
  EXPECT_EQ(DecGroup("QQ=="), "A");
  EXPECT_EQ(DecStream("QQ=="), "A");
  EXPECT_EQ(DecGroup("QUJD"), "ABC");
  // Stream decoder: an unpadded pair is the same byte as a padded one.
  EXPECT_EQ(DecStream("QQ"), DecStream("QQ=="));
  // A skipped stranger still takes its place in the 4-character phase.
  EXPECT_EQ(DecStream("QU\nJD"), "AI");
  // Bytes above 127 are strangers, not letters in disguise.
  EXPECT_EQ(DecStream("\xc1\xc1\xc1\xc1"), "");
  // Group decoder never reads past the terminator on a short group.
  EXPECT_EQ(DecGroup("QUJDQ"), "ABC");
  EXPECT_EQ(DecGroup("QUJDQQ"), "ABCA");
  // Null pointers: nothing written.
  char keep[2] = {'k', 0};
  base64Decode(nullptr, keep);
  EXPECT_STREQ(keep, "k");
}

TEST(Base64, TablesAgree) {
  for (int i = 0; i < 64; ++i) EXPECT_EQ(mimetbl[static_cast<unsigned char>(base64tbl[i])], i);
  EXPECT_EQ(mimetbl[static_cast<unsigned char>('=')], 64);
  for (int i = 128; i < 256; ++i) EXPECT_EQ(mimetbl[i], 64);
}

TEST(Hex, DigitsBothWays) {
  EXPECT_EQ(dehex('7'), 7);
  EXPECT_EQ(dehex('c'), 12);
  EXPECT_EQ(dehex('C'), 12);
  EXPECT_EQ(dehex('g'), -1);
  EXPECT_EQ(dehex(static_cast<char>(0xB7)), -1);
  char r[3];
  bin2hex(0x1AB, r);
  EXPECT_STREQ(r, "ab");
  bin2hex(0x05, r);
  EXPECT_STREQ(r, "05");
}

TEST(Exor, PadsAndTerminates) {
  unsigned char pad[64], res[65];
  memset(pad, 0x36, sizeof pad);
  memset(res, 0xEE, sizeof res);
  exor("AB", pad, res);
  EXPECT_EQ(res[0], 'A' ^ 0x36);
  EXPECT_EQ(res[1], 'B' ^ 0x36);
  for (int i = 2; i < 64; ++i) EXPECT_EQ(res[i], 0x36);
  EXPECT_EQ(res[64], 0);
  // A text longer than the block is used only up to the block.
  std::string longpw(100, 'z');
  exor(longpw.c_str(), pad, res);
  EXPECT_EQ(res[63], 'z' ^ 0x36);
  EXPECT_EQ(res[64], 0);
}

// Runs hmac_md5encode and returns the decoded answer "user hexdigest".
std::string Cram(const std::string &challenge, const std::string &user, const std::string &pass,
                 std::string *b64 = nullptr) {
  std::vector<char> ch(base64EncodedSize(challenge.size()));
  base64Encode(challenge.data(), challenge.size(), ch.data());
  std::vector<char> res(base64EncodedSize(CRAM_MD5_USER_MAX + 33) + 64, '\x7f');
  hmac_md5encode(ch.data(), user.c_str(), pass.c_str(), res.data());
  if (b64) *b64 = res.data();
  return DecStream(res.data());
}

TEST(CramMd5, Rfc2195Example) {
  char res[512];
  hmac_md5encode("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", "tim",
                 "tanstaaftanstaaf", res);
  EXPECT_STREQ(res, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(CramMd5, Rfc2202Vectors) {
  EXPECT_EQ(Cram("what do ya want for nothing?", "u", "Jefe"),
            "u 750c783e6ab0b503eaa86e310a5db738");
  // A 64-byte key is one full block, used as it stands.
  std::string k64(64, '\xaa');
  std::string hmac64 = Cram("Hi", "u", k64);
  EXPECT_EQ(hmac64.size(), 2u + 32u);
  // Keys longer than the block are hashed first (RFC 2104), as every server does.
  EXPECT_EQ(Cram("Test Using Larger Than Block-Size Key - Hash Key First", "u",
                 std::string(80, '\xaa')),
            "u 6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(Cram("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", "u",
                 std::string(80, '\xaa')),
            "u 6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(CramMd5, LimitsAreRefusedNotOverrun) {
  std::string b64;
  std::string user(CRAM_MD5_USER_MAX, 'U');
  EXPECT_EQ(Cram("<1@x>", user, "pw", &b64).size(), CRAM_MD5_USER_MAX + 33);
  EXPECT_EQ(Cram("<1@x>", user + "U", "pw", &b64), "");
  EXPECT_EQ(b64, "");
  // A long challenge (well past the traditional 192 bytes) is still answered.
  std::string ch(CRAM_MD5_CHALLENGE_MAX - 1, 'c');
  EXPECT_EQ(Cram(ch, "u", "pw").size(), 34u);
  std::string huge(5000, 'Q');
  char res[512];
  memset(res, 'x', sizeof res);
  hmac_md5encode(huge.c_str(), "u", "pw", res);
  EXPECT_STREQ(res, "");
}

TEST(CramMd5, PasswordNeverLogged) {
  FILE *saved = OrnixLog;
  int saved_level = LogLevel;
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  OrnixLog = f;
  LogLevel = 8192;
  char res[512];
  hmac_md5encode("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", "tim",
                 "tanstaaftanstaaf", res);
  OrnixLog = saved;
  LogLevel = saved_level;
  fflush(f);
  rewind(f);
  std::string all;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
  fclose(f);
  EXPECT_NE(all.find("[DEBUG] CRAM MD5 tim b913a602c7eda7a495b4e6e7334d3890"), std::string::npos)
      << all;
  EXPECT_NE(all.find("[DEBUG] hmac_md5encode "), std::string::npos);
  EXPECT_EQ(all.find("tanstaaf"), std::string::npos) << all;
}

}  // namespace
