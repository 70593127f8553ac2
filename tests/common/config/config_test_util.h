// Fixture for the configuration tests: a private temp directory, a log that
// captures every category, and loads the way the programs load.
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
  std::string out_;  // standard output of the last load or reload

  void SetUp() override {
    const char *tmp = getenv("TMPDIR");
    dir_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/ornix_config_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    log_path_ = dir_ + "/test.log";
    ASSERT_NE(OrnixLog = fopen(log_path_.c_str(), "w"), nullptr);
    LogLevel = 65535;
  }
  void TearDown() override {
    UnloadConfig();
    fclose(OrnixLog);
    OrnixLog = nullptr;
    LogLevel = 0;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Write(const std::string &name, const std::string &content) {
    std::string path = dir_ + "/" + name;
    EXPECT_TRUE(std::ofstream(path, std::ios::binary) << content) << path;
    return path;
  }
  int ReadPath(const std::string &path) {
    ::testing::internal::CaptureStdout();
    int rc = LoadConfigFile(path.c_str());
    out_ = ::testing::internal::GetCapturedStdout();
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

  // The stored entry of a dotted section (common sections only), by exact key.
  static SSV *Entry(const std::string &section, const char *key) {
    SSP *list = SectionList, *node = nullptr;
    std::stringstream parts(section);
    for (std::string part; std::getline(parts, part, '.'); list = node->LowerLevelSectionList) {
      for (node = list; node != nullptr && strcasecmp(node->SectionName, part.c_str()) != 0;) node = node->next;
      if (node == nullptr) return nullptr;
    }
    for (SSV *v = node ? node->SectionValueList : nullptr; v != nullptr; v = v->next)
      if (strcmp(v->ParamName, key) == 0) return v;
    return nullptr;
  }
  static int TypeOf(const char *section, const char *key) {
    SSV *v = Entry(section, key);
    return v ? v->ValueType : -1;
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
