#include "log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "config.h"

namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ornix_log_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_level_ = LogLevel;
    saved_log_ = OrnixLog;
    saved_section_ = ReportSection;
  }
  void TearDown() override {
    if (OrnixLog != saved_log_) CloseLog(OrnixLog);
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
    ReportSection = saved_section_;
    // The formats may point into the tree released below.
    TimeFormat = "%H:%M:%S";
    DateFormat = "%Y/%m/%d";
    ReleaseConfig();
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
  }
  static void ReleaseConfig() {
    clear_config(SectionList, GroupList);
    SectionList = nullptr;
    GroupList = nullptr;
    DefaultGroup = nullptr;
  }
  // Installs a configuration read from the given text as the live tree.
  void LoadConfig(const std::string &text) {
    ReleaseConfig();
    std::string path = dir_ + "/ornix.conf";
    std::ofstream(path) << text;
    CurrentSection = nullptr;
    CurrentGroup = nullptr;
    SetSectionList = nullptr;
    SetGroupList = nullptr;
    SetDefaultGroup = nullptr;
    ASSERT_EQ(ReadConfigFile(path.c_str()), 0);
    SectionList = SetSectionList;
    GroupList = SetGroupList;
    DefaultGroup = SetDefaultGroup;
  }
  std::string dir_;
  int saved_level_ = 0;
  FILE *saved_log_ = nullptr;
  const char *saved_section_ = nullptr;
};

TEST_F(LogTest, LineHasDateTimePidAndCounterPrefix) {
  LoadConfig("[filescan.report]\nFacility=user\n");
  std::string path = dir_ + "/test.log";
  ASSERT_EQ(OpenLog(path.c_str(), "filescan.report"), 0);
  ASSERT_NE(OrnixLog, nullptr);
  EXPECT_STREQ(ReportSection, "filescan.report");
  LogLevel = 3;
  MsgLog(OrnixLog, 2, "hello %s\n", "world");
  MsgPut(OrnixLog, 1, "bare line\n");
  std::string text = ReadAll(path);
  std::regex line("^\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\]-\\[" +
                  std::to_string(getpid()) + "\\.0\\] hello world\nbare line\n$");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogTest, MaskDecidesWhatIsWritten) {
  LoadConfig("[locale]\nDateFormat=D\nTimeFormat=T\n");
  std::string path = dir_ + "/mask.log";
  ASSERT_EQ(OpenLog(path.c_str(), "filescan.report"), 0);
  LogLevel = 0;
  MsgLog(OrnixLog, 1, "level zero disables everything\n");
  LogLevel = 3;
  MsgLog(OrnixLog, 16384, "debug not enabled\n");
  LogLevel = 8;
  MsgLog(OrnixLog, 9, "combined level shares a bit\n");
  std::string expect = "[D T]-[" + std::to_string(getpid()) + ".0] combined level shares a bit\n";
  EXPECT_EQ(ReadAll(path), expect);
  EXPECT_EQ(CheckLogLevel(16), -1);
  EXPECT_EQ(CheckLogLevel(8), 0);
}

TEST_F(LogTest, SyslogNameSelectsSyslogAnyCase) {
  LoadConfig("[x]\nFacility=authpriv\nPriority=info\n");
  ASSERT_EQ(OpenLog("SYSLOG", "x"), 0);
  EXPECT_EQ(OrnixLog, nullptr);
  EXPECT_EQ(SyslogFacility, 80 | 6);
  // "syslog.log" is an ordinary file name
  std::string path = dir_ + "/syslog.log";
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  ASSERT_EQ(OpenLog("syslog.log", "x"), 0);
  EXPECT_NE(OrnixLog, nullptr);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
}

TEST_F(LogTest, UnwritablePathFailsAndKeepsTheChannel) {
  LoadConfig("");
  OrnixLog = nullptr;
  ReportSection = "before";
  EXPECT_EQ(OpenLog((dir_ + "/missing/dir/x.log").c_str(), "filescan.report"), -1);
  EXPECT_EQ(OrnixLog, nullptr);
  EXPECT_STREQ(ReportSection, "before");
}

TEST_F(LogTest, NameTables) {
  EXPECT_EQ(name2val(facilitynames, "LOCAL7"), 184);
  EXPECT_EQ(name2val(facilitynames, "nosuch"), 0);
  EXPECT_EQ(name2val(prioritynames, "warning"), 4);
  EXPECT_EQ(name2val(prioritynames, "emerg"), 0);
  LoadConfig("[y]\nFacility=nosuch\n");
  set_syslog_facility("y");
  EXPECT_EQ(SyslogFacility, 0 | 5);  // unknown facility is kern; priority falls back to notice
}

}  // namespace
