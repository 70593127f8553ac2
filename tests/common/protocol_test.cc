// Reply reader and command writer of the SMTP module, fed through a socket
// pair: the test writes the server's bytes (whole, in pieces, or not at all)
// and checks what the reader makes of them and what it leaves on the socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "log.h"
#include "protocol.h"

namespace {

class SmtpReply : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    char tmpl[] = "/tmp/ornix-protocol-test-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    logpath_ = tmpl;
    LogLevel = 1 | 64 | 16384;
    ASSERT_EQ(OpenLog(logpath_.c_str(), "filescan.report"), 0);
    saved_timeout_ = SmtpTimeout;
  }
  void TearDown() override {
    SmtpTimeout = saved_timeout_;
    CloseLog(OrnixLog);
    OrnixLog = nullptr;
    LogLevel = 0;
    unlink(logpath_.c_str());
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  // The server's side.
  void serve(const std::string &bytes) {
    ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void hang_up() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  std::string code() {
    char ret[SMTP_CODE_SIZE] = "x";
    get_smtp_data(fds_[0], ret);
    return ret;
  }
  std::string log() {
    fflush(OrnixLog);
    std::ifstream in(logpath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // What the client wrote, as far as it has arrived.
  std::string sent() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, n);
    return out;
  }
  int fds_[2] = {-1, -1};
  std::string logpath_;
  int saved_timeout_ = 0;
};

TEST_F(SmtpReply, SingleAndMultiLineRepliesKeepTheirOwnCodes) {
  serve("220 ornix.test ready\r\n");
  EXPECT_EQ(code(), "220");
  // One write carrying a multi-line reply and the next reply: each read takes
  // exactly one reply.
  serve("250-ornix.test\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 HELP\r\n354 go ahead\r\n");
  EXPECT_EQ(code(), "250");
  EXPECT_EQ(code(), "354");
  std::string l = log();
  EXPECT_NE(l.find("[DEBUG] F.SMTP[R]: 250-AUTH PLAIN LOGIN CRAM-MD5\n"), std::string::npos);
  EXPECT_NE(l.find("[DEBUG] F.SMTP[R]: 250 HELP\n"), std::string::npos);
}

TEST_F(SmtpReply, ReplySplitAcrossWritesIsReadWhole) {
  serve("250-first line\r\n25");
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    serve("0-second\r\n250 last\r\n221 bye\r\n");
  });
  EXPECT_EQ(code(), "250");
  late.join();
  EXPECT_EQ(code(), "221");
}

TEST_F(SmtpReply, LineEndsAndShortLines) {
  serve("250 lf only\n");
  EXPECT_EQ(code(), "250");
  serve("235\r\n");  // a bare code ends a reply
  EXPECT_EQ(code(), "235");
  serve("334 cr only\r221 next\r\n");
  EXPECT_EQ(code(), "334");
  EXPECT_EQ(code(), "221");
  serve("hello\r\n");  // not a reply: its first characters, which match no code
  EXPECT_EQ(code(), "hel");
}

TEST_F(SmtpReply, ReplyBeginningWithEmptyLineHasNoCode) {
  serve("\r\n220 late greeting\r\n250 next\r\n");
  EXPECT_EQ(code(), "");
  EXPECT_EQ(code(), "250");
}

TEST_F(SmtpReply, EndOfStreamAndTimeOutGiveEmptyCode) {
  SmtpTimeout = 1;
  EXPECT_EQ(code(), "");
  EXPECT_NE(log().find("SMTP server time-out: no reply within 1 seconds\n"), std::string::npos);
  serve("250-incomplete\r\n");
  hang_up();
  EXPECT_EQ(code(), "");
  EXPECT_EQ(code(), "");
  EXPECT_NE(log().find("SMTP server closed the connection\n"), std::string::npos);
}

TEST_F(SmtpReply, EndOfStreamAfterALastLineWithoutLineEnd) {
  serve("250 no line end");
  hang_up();
  EXPECT_EQ(code(), "250");
}

TEST_F(SmtpReply, OverlongLineIsRefusedAndTheNextReplyIsIntact) {
  serve("250 " + std::string(9000, 'x') + "\r\n354 go\r\n");
  EXPECT_EQ(code(), "");
  EXPECT_NE(log().find("SMTP reply line longer than 8191 bytes refused\n"), std::string::npos);
  EXPECT_EQ(code(), "354");
  // Continuation lines of any length are read to the end of the reply too.
  serve("250-" + std::string(20000, 'y') + "\r\n250 end\r\n221 bye\r\n");
  EXPECT_EQ(code(), "");
  EXPECT_EQ(code(), "221");
}

TEST_F(SmtpReply, ChallengeIsSplitIntoCodeAndText) {
  char ret[SMTP_CODE_SIZE], msg[SMTP_MSG_SIZE];
  serve("334 PDQxOTI5NDIzNDEuMTI4Mjg0NzJAc291cmNlZm91ci5hbmRyZXcuY211LmVkdT4=\r\n");
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "334");
  EXPECT_STREQ(msg, "PDQxOTI5NDIzNDEuMTI4Mjg0NzJAc291cmNlZm91ci5hbmRyZXcuY211LmVkdT4=");
  EXPECT_NE(log().find("[DEBUG] F.SMTP[R]: 334 PDQxOTI5"), std::string::npos);

  serve("334 " + std::string(127, 'A') + "\r\n");
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "334");
  EXPECT_EQ(std::string(msg), std::string(127, 'A'));

  serve("334 " + std::string(128, 'B') + "\r\n250 next\r\n");
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "");
  EXPECT_STREQ(msg, "");
  EXPECT_NE(log().find("SMTP reply text longer than 127 characters refused\n"), std::string::npos);
  EXPECT_EQ(code(), "250");

  serve("33\r\n");  // too short to be a reply
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "");
  EXPECT_STREQ(msg, "");

  serve("535 5.7.8 bad\r\n");  // text without the spaces, code without the text
  get_smtp_data2(fds_[0], ret, msg);
  EXPECT_STREQ(ret, "535");
  EXPECT_STREQ(msg, "5.7.8bad");
}

TEST_F(SmtpReply, CommandsAreWrittenWholeAndLogged) {
  put_smtp_data(fds_[0], "EHLO ornix.test\r\n");
  put_smtp_data2(fds_[0], "RSET\r\n", 6);
  EXPECT_EQ(sent(), "EHLO ornix.test\r\nRSET\r\n");
  std::string l = log();
  EXPECT_NE(l.find("[DEBUG] F.SMTP[S]: EHLO ornix.test\r\n"), std::string::npos);
  EXPECT_EQ(l.find("RSET"), std::string::npos);
}

TEST_F(SmtpReply, WritingToAPeerThatHasGoneDoesNotKillTheProcess) {
  signal(SIGPIPE, SIG_DFL);
  hang_up();
  put_smtp_data(fds_[0], "QUIT\r\n");
  put_smtp_data2(fds_[0], "QUIT\r\n", 6);
  SUCCEED();
}

TEST_F(SmtpReply, SmtpAuthWithoutStreamFailsAndNullSendMailStream) {
  EXPECT_EQ(smtp_auth("a@b", nullptr, nullptr, fds_[0], "x", 0, "", ""), -1);
  EXPECT_EQ(SendMail("a@b", nullptr, nullptr), -1);
  EXPECT_EQ(sent(), "");
}

}  // namespace
