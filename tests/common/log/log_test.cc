// The log channel on its own: the settings it is handed, the line prefix, the
// category mask and the choice between a file and syslog.
#include "log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string ReadAll(const std::string &path) {
  std::stringstream ss;
  ss << std::ifstream(path).rdbuf();
  return ss.str();
}

TEST(LogTest, FileSyslogPrefixAndMask) {
  std::string dir = std::filesystem::temp_directory_path() / "ornix_log_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string path = dir + "/a.log", pid = std::to_string(getpid());
  ASSERT_EQ(OpenLog(path.c_str(), LogSettings()), 0);
  LogLevel = 3;
  MsgLog(OrnixLog, 2, "hello %s\n", "world");
  MsgPut(OrnixLog, 1, "bare line\n");
  MsgLog(OrnixLog, 16384, "debug not enabled\n");
  std::string text = ReadAll(path);
  EXPECT_TRUE(std::regex_match(text, std::regex("\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\]-\\[" + pid +
                                                "\\.0\\] hello world\nbare line\n")))
      << text;
  CloseLog(OrnixLog);

  LogSettings s;
  s.date_format = "D";
  s.time_format = "T";
  s.facility = "authpriv";
  s.priority = "info";
  ASSERT_EQ(OpenLog(path.c_str(), s), 0);
  LogLevel = 0;
  MsgLog(OrnixLog, 1, "level zero disables everything\n");
  LogLevel = 8;
  MsgLog(OrnixLog, 9, "a shared bit is enough\n");
  EXPECT_EQ(ReadAll(path), text + "[D T]-[" + pid + ".0] a shared bit is enough\n");
  // a file that cannot be opened leaves the channel as it was
  FILE *before = OrnixLog;
  EXPECT_EQ(OpenLog((dir + "/missing/x.log").c_str(), s), -1);
  EXPECT_EQ(OrnixLog, before);
  CloseLog(OrnixLog);

  // syslog by name in any case; "syslog.log" is an ordinary file
  ASSERT_EQ(OpenLog("SYSLOG", s), 0);
  EXPECT_EQ(OrnixLog, nullptr);
  EXPECT_EQ(SyslogFacility, 80 | 6);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  ASSERT_EQ(OpenLog("syslog.log", s), 0);
  EXPECT_NE(OrnixLog, nullptr);
  EXPECT_EQ(access((dir + "/syslog.log").c_str(), F_OK), 0);
  CloseLog(OrnixLog);
  OrnixLog = nullptr;
  LogLevel = 0;
  std::filesystem::remove_all(dir);
}

TEST(LogTest, SyslogNames) {
  EXPECT_EQ(name2val(facilitynames, "LOCAL7"), 184);
  EXPECT_EQ(name2val(prioritynames, "warning"), 4);
  // an unknown name is 0 (kern, emerg), never the table's end marker
  set_syslog_facility("nosuch", "notice");
  EXPECT_EQ(SyslogFacility, 0 | 5);
  set_syslog_facility(nullptr, nullptr);
  EXPECT_EQ(SyslogFacility, 0);
}

}  // namespace
