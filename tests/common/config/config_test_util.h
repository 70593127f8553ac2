// Fixture for the configuration tests: a private temp directory, a log that
// captures every category, and loads the way the programs load.
#ifndef ORNIX_CONFIG_TEST_UTIL_H
#define ORNIX_CONFIG_TEST_UTIL_H

#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config.h"
#include "log.h"

class ConfigTest : public ::testing::Test {
 protected:
  std::string dir_, log_path_, out_;  // out_: standard output of the last load or reload

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / "ornix_config_test.XXXXXX";
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
  template <class F>
  int Captured(F f) {
    ::testing::internal::CaptureStdout();
    int rc = f();
    out_ = ::testing::internal::GetCapturedStdout();
    return rc;
  }
  int ReadPath(const std::string &path) { return Captured([&] { return LoadConfigFile(path.c_str()); }); }
  int Read(const std::string &content) { return ReadPath(Write("ornix.conf", content)); }
  void Reload() { Captured([] { ConfigReload(); return 0; }); }
  static std::string ErrorLine(const std::string &path, int line) {
    return "Read configuration error. Filename:" + path + ",Line:" + std::to_string(line) + "\n";
  }
  std::string Log() {
    fflush(OrnixLog);
    std::stringstream ss;
    ss << std::ifstream(log_path_).rdbuf();
    return ss.str();
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
    GRP *g = GroupList;
    while (g != nullptr && strcasecmp(g->GroupName, name) != 0) g = g->next;
    return g;
  }
  static std::string GroupOrder() {
    std::string s;
    for (GRP *g = GroupList; g != nullptr; g = g->next) s += std::string(s.empty() ? "" : ",") + g->GroupName;
    return s;
  }
};

#endif
