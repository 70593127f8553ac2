// Fixture for the configuration tests: a private temp directory, a log that
// captures every category, and reads that make the new tree live the way the
// programs do.
#ifndef ORNIX_CONFIG_TEST_UTIL_H
#define ORNIX_CONFIG_TEST_UTIL_H

#include <gtest/gtest.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config.h"
#include "log.h"

class ConfigTest : public ::testing::Test {
 protected:
  std::string dir_, log_path_;
  std::string out_;  // standard output of the last read or reload

  void SetUp() override {
    const char *tmp = getenv("TMPDIR");
    dir_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/ornix_config_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    log_path_ = dir_ + "/test.log";
    ASSERT_NE(OrnixLog = fopen(log_path_.c_str(), "w"), nullptr);
    LogLevel = 65535;
    SectionList = SetSectionList = CurrentSection = nullptr;
    GroupList = SetGroupList = DefaultGroup = SetDefaultGroup = CurrentGroup = nullptr;
  }

  void TearDown() override {
    DropSet();
    MakeLive();
    fclose(OrnixLog);
    OrnixLog = nullptr;
    LogLevel = 0;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Release a tree still under construction that was not made live.
  void DropSet() {
    if (SetSectionList != SectionList || SetGroupList != GroupList) clear_config(SetSectionList, SetGroupList);
    SetSectionList = nullptr;
    SetGroupList = SetDefaultGroup = nullptr;
  }

  // Replace (and release) the live tree; as after a read, it is also the tree under construction.
  void MakeLive(SSP *s = nullptr, GRP *g = nullptr, GRP *def = nullptr) {
    clear_config(SectionList, GroupList);
    SectionList = SetSectionList = s;
    GroupList = SetGroupList = g;
    DefaultGroup = SetDefaultGroup = def;
  }

  std::string Write(const std::string &name, const std::string &content) {
    std::string path = dir_ + "/" + name;
    EXPECT_TRUE(std::ofstream(path, std::ios::binary) << content) << path;
    return path;
  }

  // Read like a program starting up; on success the new tree replaces the live one.
  int ReadPath(const std::string &path) {
    DropSet();
    CurrentSection = nullptr;
    CurrentGroup = nullptr;
    ::testing::internal::CaptureStdout();
    int rc = ReadConfigFile(path.c_str());
    out_ = ::testing::internal::GetCapturedStdout();
    if (rc == 0) MakeLive(SetSectionList, SetGroupList, SetDefaultGroup);
    return rc;
  }
  int Read(const std::string &content) { return ReadPath(Write("ornix.conf", content)); }

  void Reload() {
    ::testing::internal::CaptureStdout();
    ConfigReload();
    out_ = ::testing::internal::GetCapturedStdout();
  }

  static std::string ErrorLine(const std::string &path, int line) {
    return "Read configuration error. Filename:" + path + ",Line:" + std::to_string(line) + "\n";
  }

  std::string Log() {
    fflush(OrnixLog);
    std::stringstream ss;
    ss << std::ifstream(log_path_).rdbuf();
    return ss.str();
  }

  static SSV *Entry(const char *section, const char *key) {
    SSP *s = parse_section(nullptr, section, 0, SectionList);
    for (SSV *v = s ? s->SectionValueList : nullptr; v != nullptr; v = v->next)
      if (strcmp(v->ParamName, key) == 0) return v;
    return nullptr;
  }
  static int TypeOf(const char *section, const char *key) {
    return Entry(section, key) ? Entry(section, key)->ValueType : -1;
  }
  static uint64_t StoredNum(const char *section, const char *key) {
    return Entry(section, key) ? *static_cast<uint64_t *>(Entry(section, key)->ParamValue) : 0;
  }

  // Lookups; a failed one answers -999 or "<none>".
  static int Num(const char *section, const char *key) {
    int v = 0;
    return GetConfigValue(section, key, NUM, &v) == 0 ? v : -999;
  }
  static long long Lnum(const char *section, const char *key) {
    off_t v = 0;
    return GetConfigValue(section, key, LNUM, &v) == 0 ? static_cast<long long>(v) : -999;
  }
  static std::string Str(const char *section, const char *key) {
    const char *v = nullptr;
    return GetConfigValue(section, key, STR, &v) != 0 || v == nullptr ? "<none>" : v;
  }
  static std::string GStr(GRP *g, const char *section, const char *key) {
    const char *v = nullptr;
    return GetGroupConfigValue(g, section, key, STR, &v) != 0 || v == nullptr ? "<none>" : v;
  }

  static GRP *Group(const char *name) {
    for (GRP *g = GroupList; g != nullptr; g = g->next)
      if (strcasecmp(g->GroupName, name) == 0) return g;
    return nullptr;
  }
  static std::string GroupOrder() {
    std::string s;
    for (GRP *g = GroupList; g != nullptr; g = g->next) s += std::string(s.empty() ? "" : ",") + g->GroupName;
    return s;
  }
};

#endif
