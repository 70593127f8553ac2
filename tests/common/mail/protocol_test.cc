// The SMTP reply reader, command writer and dialogue over a socket pair: the
// test writes the server's bytes (whole, in pieces or not at all) and checks
// what the client makes of them and what it writes. The dialogue with the real
// server (aiosmtpd) is tested in test_smtp.py and test_ornixfs_mail.py; here
// the same code runs under the sanitizers too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "test_util.h"

namespace {

using std::string;

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class SmtpReply : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ORNIX_WAIT_SCALE", "0.1", 1);  // the one time-out below takes 0.1 s
    saved_timeout_ = SmtpTimeout;
    SmtpTimeout = 5;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
  }
  void TearDown() override {
    for (int fd : fds_)
      if (fd >= 0) close(fd);
    SmtpTimeout = saved_timeout_;
    unsetenv("ORNIX_WAIT_SCALE");
  }
  bool logged(const string &text) {  // since the last call
    string all = log_.text();
    size_t at = all.find(text, seen_);
    seen_ = all.size();
    return at != string::npos;
  }
  void serve(const string &bytes) {
    ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void hang_up() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  string code() {
    char ret[SMTP_CODE_SIZE] = "x";
    get_smtp_data(fds_[0], ret);
    return ret;
  }
  string sent() {  // what the client wrote, as far as it has arrived
    string out;
    char buf[4096];
    for (ssize_t n; (n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) out.append(buf, n);
    return out;
  }
  ornix_test::LogCapture log_;
  size_t seen_ = 0;
  int saved_timeout_ = 0;
  int fds_[2] = {-1, -1};
};

TEST_F(SmtpReply, EachReadTakesOneWholeReply) {
  serve("250-ornix.test\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 HELP\r\n354 go ahead\r\n");
  EXPECT_EQ(code(), "250");
  EXPECT_EQ(code(), "354");
  EXPECT_TRUE(logged("[DEBUG] F.SMTP[R]: 250-AUTH PLAIN LOGIN CRAM-MD5\n"));
  serve("250-first line\r\n25");  // split inside a line, the rest later
  std::thread late([this] {
    pause_ms(200);
    serve("0-second\r\n250 last\r\n221 bye\r\n");
  });
  EXPECT_EQ(code(), "250");
  late.join();
  EXPECT_EQ(code(), "221");
}

TEST_F(SmtpReply, LineEndsAndOddReplies) {
  const struct {
    string bytes;
    std::vector<string> codes;
  } rows[] = {
      {"250 lf only\n", {"250"}},
      {"235\r\n", {"235"}},
      {"334 cr only\r221 next\r\n", {"334", "221"}},
      {"hello\r\n", {"hel"}},
      {"\r\n220 late greeting\r\n250 next\r\n", {"", "250"}},  // an empty line has no code
      {"250 " + string(9000, 'x') + "\r\n354 go\r\n", {"", "354"}},
      {"250-" + string(20000, 'y') + "\r\n250 end\r\n221 bye\r\n", {"", "221"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.bytes.substr(0, 20));
    serve(row.bytes);
    for (const string &want : row.codes) EXPECT_EQ(code(), want);
  }
  EXPECT_TRUE(logged("SMTP reply line longer than 8191 bytes refused\n"));
}

TEST_F(SmtpReply, TimeOutAndEndOfStreamGiveEmptyCode) {
  SmtpTimeout = 1;
  EXPECT_EQ(code(), "");
  EXPECT_TRUE(logged("SMTP server time-out: no reply within 1 seconds\n"));
  serve("250-incomplete\r\n");
  hang_up();
  EXPECT_EQ(code(), "");
  EXPECT_EQ(code(), "");
  EXPECT_TRUE(logged("SMTP server closed the connection\n"));
}

TEST_F(SmtpReply, ChallengeFitsItsTextBufferOrIsRefused) {
  char ret[SMTP_CODE_SIZE], msg[SMTP_MSG_SIZE];
  serve("334 " + string(127, 'A') + "\r\n");
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "334");
  EXPECT_EQ(string(msg), string(127, 'A'));
  serve("334 " + string(128, 'B') + "\r\n250 next\r\n");
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "");
  EXPECT_STREQ(msg, "");
  EXPECT_TRUE(logged("SMTP reply text longer than 127 characters refused\n"));
  EXPECT_EQ(code(), "250");
}

TEST_F(SmtpReply, CommandsAreWrittenWholeAndAGonePeerDoesNotKillTheProcess) {
  put_smtp_data(fds_[0], "EHLO ornix.test\r\n");
  put_smtp_data2(fds_[0], "RSET\r\n", 6);
  EXPECT_EQ(sent(), "EHLO ornix.test\r\nRSET\r\n");
  EXPECT_TRUE(logged("[DEBUG] F.SMTP[S]: EHLO ornix.test\r\n"));
  signal(SIGPIPE, SIG_DFL);
  hang_up();
  put_smtp_data(fds_[0], "QUIT\r\n");
  put_smtp_data2(fds_[0], "QUIT\r\n", 6);
}

// Whole dialogues byte for byte (CRAM-MD5 by the example of RFC 2195); each
// credential limit refused one byte over it and sent at it.
TEST_F(SmtpReply, DialogueBytesAndCredentialLimits) {
  EXPECT_EQ(SendMail("a@b", nullptr, nullptr), -1);
  const string ok_tail = "250 ok\r\n250 ok\r\n354 go\r\n250 ok\r\n221 bye\r\n";
  const string login = "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n" + ok_tail;
  const string cram = "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n235 ok\r\n" +
                      ok_tail;
  const struct {
    int type;
    string user, pass, replies, sent, log;
  } rows[] = {
      {7, "u", "p", ok_tail,  // no such type: no AUTH
       "MAIL from:<s@ornix.test>\r\nRCPT to:<admin@ornix.test>\r\nDATA\r\nSubject: t\r\n\r\n"
       "..dot\r\nlast\r\n.\r\nQUIT\r\n",
       "SMTP type : NO AUTH (type error)\n"},
      {SMTP_AUTH_PLAIN, "u", "p", "235 ok\r\n" + ok_tail, "AUTH PLAIN dQB1AHA=\r\nMAIL", ""},
      {SMTP_AUTH_LOGIN, "u", "p", login, "AUTH LOGIN\r\ndQ==\r\ncA==\r\nMAIL", ""},
      {SMTP_AUTH_CRAM_MD5, "tim", "tanstaaftanstaaf", cram,
       "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\nMAIL", ""},
      {SMTP_AUTH_PLAIN, string(43, 'u'), string(101, 'p'), "235 ok\r\n" + ok_tail, "AUTH PLAIN ",
       ""},  // a payload of 189 bytes
      {SMTP_AUTH_PLAIN, string(45, 'u'), string(100, 'p'), "221 bye\r\n", "QUIT\r\n",
       "SMTP AUTH error: user name and password for AUTH PLAIN is 192 bytes, at most 189 "
       "allowed\n"},
      {SMTP_AUTH_LOGIN, string(93, 'u'), string(93, 'p'), login, "AUTH LOGIN\r\n", ""},
      {SMTP_AUTH_LOGIN, "u", string(94, 'p'), "221 bye\r\n", "QUIT\r\n",
       "SMTP AUTH error: password for AUTH LOGIN is 94 bytes, at most 93 allowed\n"},
      {SMTP_AUTH_CRAM_MD5, string(221, 'u'), string(64, 'p'), cram, "AUTH CRAM-MD5\r\n", ""},
      {SMTP_AUTH_CRAM_MD5, "u", string(65, 'p'), "221 bye\r\n", "QUIT\r\n",
       "SMTP AUTH error: password for AUTH CRAM-MD5 is 65 bytes, at most 64 allowed\n"},
  };
  char rcpt[] = "admin@ornix.test";
  char *to[] = {rcpt, nullptr};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.sent + row.log);
    for (int &fd : fds_) close(fd);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    serve("220 hi\r\n250 ok\r\n" + row.replies);
    FILE *fp = tmpfile();
    fputs("Subject: t\n\n.dot\r\nlast", fp);
    rewind(fp);
    EXPECT_EQ(smtp_auth("s@ornix.test", to, fp, fds_[0], nullptr, row.type, row.user.c_str(),
                        row.pass.c_str()),
              0);
    fclose(fp);
    string out = sent();
    EXPECT_EQ(out.rfind("EHLO localhost\r\n" + row.sent, 0), 0u) << out.substr(0, 300);
    EXPECT_EQ(out.find("MAIL from:") != string::npos, row.sent.rfind("QUIT", 0) != 0);
    if (!row.log.empty()) {
      EXPECT_TRUE(logged(row.log));
    }
  }
  EXPECT_FALSE(logged("SMTP AUTH error: authorization failed"));
}

}  // namespace
