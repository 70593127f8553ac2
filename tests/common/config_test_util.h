// Fixture for the configuration tests: a private temp directory for config
// files, a log file that captures every message category, and helpers that
// read a file the way the programs do and look values up.
#ifndef ORNIX_CONFIG_TEST_UTIL_H
#define ORNIX_CONFIG_TEST_UTIL_H

#include <gtest/gtest.h>
#include <strings.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "config.h"
#include "log.h"

class ConfigTest : public ::testing::Test {
 protected:
  std::string dir_;
  std::string log_path_;
  std::string out_;   // standard output of the last Read

  void SetUp() override {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ornix_config_test.XXXXXX";
    char *d = mkdtemp(tmpl.data());
    ASSERT_NE(d, nullptr);
    dir_ = d;
    log_path_ = dir_ + "/test.log";
    OrnixLog = fopen(log_path_.c_str(), "w");
    ASSERT_NE(OrnixLog, nullptr);
    LogLevel = 65535;
    SectionList = SetSectionList = CurrentSection = nullptr;
    GroupList = SetGroupList = DefaultGroup = SetDefaultGroup = CurrentGroup = nullptr;
  }

  void TearDown() override {
    DropSet();
    clear_config(SectionList, GroupList);
    SectionList = nullptr;
    GroupList = nullptr;
    DefaultGroup = nullptr;
    fclose(OrnixLog);
    OrnixLog = nullptr;
    LogLevel = 0;
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
  }

  // Release a tree still under construction that was not made live.
  void DropSet() {
    if (SetSectionList != SectionList || SetGroupList != GroupList)
      clear_config(SetSectionList, SetGroupList);
    SetSectionList = nullptr;
    SetGroupList = nullptr;
    SetDefaultGroup = nullptr;
  }

  // Write a file under the temp directory; returns its path.
  std::string Write(const std::string &name, const std::string &content) {
    std::string path = dir_ + "/" + name;
    std::ofstream f(path, std::ios::binary);
    f << content;
    f.close();
    EXPECT_TRUE(f.good()) << path;
    return path;
  }

  // Read like a program starting up: reset the cursors, read, and on success
  // make the tree live (dropping the previous live tree).
  int ReadPath(const std::string &path) {
    DropSet();
    CurrentSection = nullptr;
    CurrentGroup = nullptr;
    ::testing::internal::CaptureStdout();
    int rc = ReadConfigFile(path.c_str());
    out_ = ::testing::internal::GetCapturedStdout();
    if (rc == 0) {
      clear_config(SectionList, GroupList);
      SectionList = SetSectionList;
      GroupList = SetGroupList;
      DefaultGroup = SetDefaultGroup;
    }
    return rc;
  }

  int Read(const std::string &content, const std::string &name = "ornix.conf") {
    return ReadPath(Write(name, content));
  }

  std::string ErrorLine(const std::string &path, int line) {
    return "Read configuration error. Filename:" + path + ",Line:" + std::to_string(line) + "\n";
  }

  std::string Log() {
    fflush(OrnixLog);
    std::ifstream f(log_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  int Num(const char *section, const char *key, int fallback = -999) {
    int v = fallback;
    if (GetConfigValue(section, key, NUM, &v) != 0) return fallback;
    return v;
  }

  std::string Str(const char *section, const char *key, const char *fallback = "<none>") {
    const char *v = nullptr;
    if (GetConfigValue(section, key, STR, &v) != 0 || v == nullptr) return fallback;
    return v;
  }

  long long Lnum(const char *section, const char *key, long long fallback = -999) {
    off_t v = 0;
    if (GetConfigValue(section, key, LNUM, &v) != 0) return fallback;
    return static_cast<long long>(v);
  }

  std::string GStr(GRP *g, const char *section, const char *key, const char *fallback = "<none>") {
    const char *v = nullptr;
    if (GetGroupConfigValue(g, section, key, STR, &v) != 0 || v == nullptr) return fallback;
    return v;
  }

  GRP *Group(const char *name) {
    for (GRP *g = GroupList; g != nullptr; g = g->next)
      if (strcasecmp(g->GroupName, name) == 0) return g;
    return nullptr;
  }

  std::string GroupOrder() {
    std::string s;
    for (GRP *g = GroupList; g != nullptr; g = g->next) s += std::string(s.empty() ? "" : ",") + g->GroupName;
    return s;
  }
};

#endif
