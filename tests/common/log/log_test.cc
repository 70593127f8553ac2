// The log channel on its own: the settings it is handed, the line prefix, the
// category mask and the choice between a file and syslog.
#include "log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ornix_log_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    CloseLog(OrnixLog);
    OrnixLog = nullptr;
    LogLevel = 0;
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
  }
  std::string Read(const std::string &path) {
    std::stringstream ss;
    ss << std::ifstream(path).rdbuf();
    return ss.str();
  }
  std::string dir_;
};

TEST_F(LogTest, PrefixFormatsAndMask) {
  std::string path = dir_ + "/a.log";
  ASSERT_EQ(OpenLog(path.c_str(), LogSettings()), 0);
  LogLevel = 3;
  MsgLog(OrnixLog, 2, "hello %s\n", "world");
  MsgPut(OrnixLog, 1, "bare line\n");
  MsgLog(OrnixLog, 16384, "debug not enabled\n");
  std::regex line("^\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\]-\\[" + std::to_string(getpid()) +
                  "\\.0\\] hello world\nbare line\n$");
  std::string text = Read(path);
  EXPECT_TRUE(std::regex_match(text, line)) << text;

  CloseLog(OrnixLog);
  LogSettings s;
  s.date_format = "D";
  s.time_format = "T";
  ASSERT_EQ(OpenLog(path.c_str(), s), 0);
  LogLevel = 0;
  MsgLog(OrnixLog, 1, "level zero disables everything\n");
  LogLevel = 8;
  MsgLog(OrnixLog, 9, "a shared bit is enough\n");
  EXPECT_EQ(Read(path), text + "[D T]-[" + std::to_string(getpid()) + ".0] a shared bit is enough\n");
}

TEST_F(LogTest, SyslogByNameAnyCaseAndUnwritableFile) {
  LogSettings s;
  s.facility = "authpriv";
  s.priority = "info";
  ASSERT_EQ(OpenLog("SYSLOG", s), 0);
  EXPECT_EQ(OrnixLog, nullptr);
  EXPECT_EQ(SyslogFacility, 80 | 6);
  // "syslog.log" is an ordinary file name
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  ASSERT_EQ(OpenLog("syslog.log", s), 0);
  ASSERT_NE(OrnixLog, nullptr);
  EXPECT_EQ(access((dir_ + "/syslog.log").c_str(), F_OK), 0);
  // a file that cannot be opened leaves the channel as it was
  FILE *before = OrnixLog;
  EXPECT_EQ(OpenLog((dir_ + "/missing/x.log").c_str(), s), -1);
  EXPECT_EQ(OrnixLog, before);
}

TEST_F(LogTest, SyslogNames) {
  EXPECT_EQ(name2val(facilitynames, "LOCAL7"), 184);
  EXPECT_EQ(name2val(prioritynames, "warning"), 4);
  EXPECT_EQ(name2val(prioritynames, "emerg"), 0);
  // an unknown name is 0 (kern, emerg), never the table's end marker
  set_syslog_facility("nosuch", "notice");
  EXPECT_EQ(SyslogFacility, 0 | 5);
  set_syslog_facility(nullptr, nullptr);
  EXPECT_EQ(SyslogFacility, 0);
}

}  // namespace
