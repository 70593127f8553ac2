// SendMail and smtp_auth against the real SMTP server of the tests (aiosmtpd,
// tests/rig/smtp_server.py, run with Debian's python3), so that the whole
// dialogue also runs under the sanitizers. The server is started per test on
// an ephemeral port and stopped by its pid; every wait is bounded.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "log.h"
#include "protocol.h"

namespace {

const char kUser[] = "ornix";
const char kPass[] = "s3cret!x";

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class SmtpDialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *src = getenv("ORNIX_TEST_SRC");
    if (src == nullptr) GTEST_SKIP() << "ORNIX_TEST_SRC not set (run through ctest)";
    char tmpl[] = "/tmp/ornix-dialogue-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    server_dir_ = dir_ + "/server";
    ASSERT_EQ(mkdir(server_dir_.c_str(), 0700), 0);
    std::string script = std::string(src) + "/rig/smtp_server.py";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      execl("/usr/bin/python3", "python3", script.c_str(), "--dir", server_dir_.c_str(), "--user",
            kUser, "--password", kPass, static_cast<char *>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 400 && port_ == 0; i++) {  // at most 20 s
      std::ifstream in(server_dir_ + "/port");
      if (!(in >> port_)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(port_, 0) << "SMTP server did not start";
    log_path_ = dir_ + "/ornix.log";
    OrnixLog = fopen(log_path_.c_str(), "w");
    ASSERT_NE(OrnixLog, nullptr);
    LogLevel = 65535;
    saved_timeout_ = SmtpTimeout;
    SmtpTimeout = 20;
  }

  void TearDown() override {
    SmtpTimeout = saved_timeout_;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    if (OrnixLog != nullptr) fclose(OrnixLog);
    OrnixLog = nullptr;
    LogLevel = 0;
    clear_config(SetSectionList, SetGroupList);
    SectionList = SetSectionList = CurrentSection = nullptr;
    GroupList = SetGroupList = DefaultGroup = SetDefaultGroup = CurrentGroup = nullptr;
    if (!dir_.empty()) {
      std::string cmd = "rm -rf '" + dir_ + "'";
      if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }
  }

  void configure(const std::string &general) {
    std::string path = dir_ + "/ornix.conf";
    std::ofstream out(path);
    out << "[general]\nSMTPServer=127.0.0.1\nSMTPPort=" << port_ << "\n" << general;
    out.close();
    clear_config(SetSectionList, SetGroupList);
    SectionList = SetSectionList = CurrentSection = nullptr;
    GroupList = SetGroupList = DefaultGroup = SetDefaultGroup = CurrentGroup = nullptr;
    ASSERT_EQ(ReadConfigFile(path.c_str()), 0);
    SectionList = SetSectionList;
    GroupList = SetGroupList;
    DefaultGroup = SetDefaultGroup;
  }

  FILE *message(const std::string &text) {
    FILE *fp = tmpfile();
    fputs(text.c_str(), fp);
    rewind(fp);
    return fp;
  }

  int stored() {
    int n = 0;
    DIR *d = opendir(server_dir_.c_str());
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.rfind("msg-", 0) == 0 && name.size() > 5 && name.substr(name.size() - 5) == ".json")
        n++;
    }
    closedir(d);
    return n;
  }

  int wait_stored(int want) {
    int n = stored();
    for (int i = 0; i < 200 && n < want; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      n = stored();
    }
    return n;
  }

  std::string log() {
    fflush(OrnixLog);
    return slurp(log_path_);
  }

  std::string dir_, server_dir_, log_path_;
  pid_t pid_ = -1;
  int port_ = 0;
  int saved_timeout_ = 0;
};

TEST_F(SmtpDialogue, EachMechanismWithRightAndWrongPassword) {
  const char *mechs[] = {"plain", "login", "cram-md5"};
  int sent = 0;
  for (const char *m : mechs) {
    SCOPED_TRACE(m);
    configure(std::string("SMTPAuth=") + m + "\nSMTPAuthUser=" + kUser +
              "\nSMTPAuthPassword=" + kPass + "\n");
    char rcpt[] = "admin@ornix.test";
    char *to[] = {rcpt, nullptr};
    FILE *fp = message("Subject: t\n\n.dot\nbody\n");
    EXPECT_EQ(SendMail("scanner@ornix.test", to, fp), 0);
    fclose(fp);
    EXPECT_EQ(wait_stored(++sent), sent);

    configure(std::string("SMTPAuth=") + m + "\nSMTPAuthUser=" + kUser +
              "\nSMTPAuthPassword=wrong\n");
    fp = message("Subject: t\n\nbody\n");
    EXPECT_EQ(SendMail("scanner@ornix.test", to, fp), 0);
    fclose(fp);
    EXPECT_NE(log().find("SMTP AUTH error: authorization failed (#5.7.0)\n"), std::string::npos);
    EXPECT_EQ(stored(), sent);
  }
}

TEST_F(SmtpDialogue, NoRecipientsMeansNoData) {
  configure("");
  char *to[] = {nullptr};
  FILE *fp = message("Subject: t\n\nbody\n");
  EXPECT_EQ(SendMail("scanner@ornix.test", to, fp), 0);
  fclose(fp);
  EXPECT_NE(log().find("[DEBUG} E-mail not send\n"), std::string::npos);
  EXPECT_EQ(log().find("F.SMTP[S]: DATA"), std::string::npos);
  EXPECT_EQ(stored(), 0);
}

TEST_F(SmtpDialogue, UnknownTypeNumberIsSentWithoutAuth) {
  configure("");
  int soc = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(soc, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port_));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(soc, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  char rcpt[] = "admin@ornix.test";
  char *to[] = {rcpt, nullptr};
  FILE *fp = message("Subject: t\n\nbody");
  EXPECT_EQ(smtp_auth("scanner@ornix.test", to, fp, soc, nullptr, 7, kUser, kPass), 0);
  fclose(fp);
  close(soc);
  EXPECT_NE(log().find("SMTP type : NO AUTH (type error)\n"), std::string::npos);
  EXPECT_NE(log().find("F.SMTP[S]: EHLO localhost\r\n"), std::string::npos);
  EXPECT_EQ(wait_stored(1), 1);
}

}  // namespace
