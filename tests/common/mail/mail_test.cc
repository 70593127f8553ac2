// The notification writer's pieces that the black-box tests do not reach
// exactly: folding, header words, macro bounds, long converted lines.
#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "mail.h"
#include "test_util.h"

namespace {

std::string folded(const std::string &text, int used) {
  std::vector<char> buf(2 * text.size() + 8);
  memcpy(buf.data(), text.c_str(), text.size() + 1);
  int lines = fold(buf.data(), used);
  return std::to_string(lines) + ":" + buf.data();
}

std::string repeat(const std::string &s, int n) {
  std::string r;
  for (int i = 0; i < n; i++) r += s;
  return r;
}

const std::string A = "\xe3\x81\x82";  // U+3042, two columns

std::string header_of(const char *value, const char *charset) {
  char *text = nullptr;
  size_t len = 0;
  FILE *fp = open_memstream(&text, &len);
  write_mime_header(fp, "Subject", value, charset);
  fclose(fp);
  std::string r(text, len);
  free(text);
  return r;
}

// A scratch directory with one stored message, removed afterwards.
struct Scratch {
  std::string dir;
  Scratch() {
    char t[] = "/tmp/ornix-mailtest-XXXXXX";
    dir = mkdtemp(t);
  }
  ~Scratch() { system(("rm -rf '" + dir + "'").c_str()); }
  std::string put(const char *name, const std::string &data) {
    std::string p = dir + "/" + name;
    FILE *fp = fopen(p.c_str(), "w");
    fwrite(data.data(), 1, data.size(), fp);
    fclose(fp);
    return p;
  }
};

}  // namespace

TEST(Fold, ColumnsAndBreaks) {
  struct {
    std::string text;
    int used;
    std::string want;
  } cases[] = {
      {std::string(20, 'a'), 9, "1:" + std::string(20, 'a')},
      {std::string(40, 'b'), 9, "2:" + std::string(20, 'b') + "\n" + std::string(20, 'b')},
      {repeat(A, 11), 9, "2:" + repeat(A, 10) + "\n" + A},
      {"aaaaaaaaaaaaaaaaaaaa bbbb   ", 9, "2:aaaaaaaaaaaaaaaaaaaa\nbbbb"},  // the space breaks
      {"\xf0\x9f\x98\x80x", 28, "1:\xf0\x9f\x98\x80x"},  // a 4-byte lead counts nothing
  };
  for (const auto &c : cases) EXPECT_EQ(folded(c.text, c.used), c.want) << c.text;
}

TEST(MimeHeader, EncodedWordsPerLine) {
  NEED_ICONV();
  EXPECT_EQ(header_of("abc", "UTF-8"), "Subject: =?UTF-8?B?YWJj?=\r\n");
  EXPECT_EQ(header_of(std::string(40, 'x').c_str(), "us-ascii"),
            "Subject: " + std::string(20, 'x') + "\r\n " + std::string(20, 'x') + "\r\n");
  EXPECT_EQ(header_of("a\r\nBcc: x", "us-ascii"), "Subject: a  Bcc: x\r\n");  // stays one field
  EXPECT_EQ(header_of(A.c_str(), "ISO-2022-JP"), "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n");
  // over 1023 bytes: cut on a character, never past the work areas
  std::string h = header_of(repeat(A, 600).c_str(), "UTF-8");
  EXPECT_LT(h.size(), 2000u);
  EXPECT_EQ(h.substr(h.size() - 2), "\r\n");
}

TEST(MacroExpan, MacrosAndBounds) {
  Scratch s;
  std::string big = "Subject: x\r\n";
  for (int i = 0; i < 200; i++) big += "X-Long-" + std::to_string(i) + ": " + std::string(80, 'v') + "\r\n";
  notifymail n{};
  n.mail = strdup(s.put("msg", big + "\r\nbody\r\n").c_str());
  n.sender = "s@x";
  n.msgid = "id@x";
  std::vector<char> out(MACRO_BUFSIZE + 64, '\x5a');
  macro_expan(&n, "%%SENDER% %RECIPIENT% <%MSGID%> %NOPE% %", out.data());
  EXPECT_STREQ(out.data(), "%s@x (none) <<id@x>> %NOPE% %");
  macro_expan(&n, "[%HEADER%]", out.data());
  EXPECT_EQ(strlen(out.data()), MACRO_BUFSIZE - 1u);  // cut, never past the area
  for (size_t i = MACRO_BUFSIZE; i < out.size(); i++) ASSERT_EQ(out[i], '\x5a');
  EXPECT_EQ(std::string(out.data(), 12), "[Subject: x\n");
  free(const_cast<char *>(n.mail));
}

// A template line far over the converter's 1024 bytes leaves whole, in
// ISO-2022-JP pieces that decode back to the line.
TEST(WriteMail, LongLinesAndMissingTemplate) {
  NEED_ICONV();
  Scratch s;
  std::string line = repeat(A + "a", 700);
  std::string tmpl = s.put("tmpl", line + "\n");
  notifymail *n = static_cast<notifymail *>(calloc(1, sizeof(notifymail)));
  std::string msg = s.put("m", "Subject: s\n\nbody\n");
  n->mail = msg.c_str();
  n->type = 'A';
  ASSERT_EQ(open_mail(n), 0);
  mail_obj m{};
  ASSERT_EQ(write_mail(&m, n, (s.dir + "/none").c_str(), 0, "text/plain", "iso-2022-jp"), -1);
  ASSERT_EQ(write_mail(&m, n, tmpl.c_str(), 0, "text/plain", "iso-2022-jp"), 0);
  rewind(n->fp);
  std::string out;
  char buf[4096];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, n->fp)) > 0) out.append(buf, got);
  std::string path = n->filename;
  close_mail(n);
  EXPECT_NE(access(path.c_str(), F_OK), 0);  // removed with the record
  ASSERT_EQ(out.substr(0, 2), "\r\n");
  iconv_t cd = iconv_open("UTF-8", "ISO-2022-JP");
  std::string jis = out.substr(2, out.size() - 4);
  std::vector<char> back(jis.size() * 2);
  char *ip = jis.data(), *op = back.data();
  size_t il = jis.size(), ol = back.size();
  ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1));
  iconv_close(cd);
  EXPECT_EQ(std::string(back.data(), op), line);
}

TEST(Helpers, SmallOnes) {
  EXPECT_EQ(isJapanese("plain"), 0);
  EXPECT_EQ(isJapanese(("x" + A).c_str()), 1);
  EXPECT_EQ(isJapanese("\xc3"), 0);  // cut sequence
  EXPECT_EQ(fd_move(5, 5), 0);
  EXPECT_EQ(fd_copy(9, 987), -1);  // not open
  char *d = datetime_str(0);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(strchr(d, ' '), nullptr);
  free(d);
  char *text = nullptr;
  size_t len = 0;
  FILE *fp = open_memstream(&text, &len);
  EXPECT_EQ(euc2jis_print(fp, "%s=%d", "\xa4\xa2", 7), 0);
  fclose(fp);
  EXPECT_EQ(std::string(text, len), "\x1b$B$\"\x1b(B=7");
  free(text);
  EXPECT_EQ(open_mail(nullptr), 0);
  EXPECT_EQ(close_mail(nullptr), 0);
}
