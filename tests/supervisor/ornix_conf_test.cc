// The engine configuration file: line order, presence flags, the syslog
// variant, and the write through a temporary file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "ornix.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/ornix-conf-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (d != nullptr) path_ = d;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      int ignored = system(cmd.c_str());
      (void)ignored;
    }
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::vector<std::string> dir_entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  return names;
}

EngineSettings sample() {
  EngineSettings s;
  s.temp_path = "/srv/tmp";
  s.socket_file = "/srv/run/clamd.socket";
  s.pid_file = "/srv/run/clamd.pid";
  s.symlink = "yes";
  s.archive_scan = "no";
  s.max_recursion = 7;
  s.log_path = "/srv/log/clamd.log";
  s.facility = "user";
  return s;
}

const char kFixedHead[] =
    "TemporaryDirectory /srv/tmp\n"
    "LocalSocket /srv/run/clamd.socket\n"
    "PidFile /srv/run/clamd.pid\n"
    "FollowFileSymlinks yes\n"
    "FollowDirectorySymlinks yes\n"
    "ScanArchive no\n"
    "MaxScanSize 0\n"
    "MaxFileSize 0\n"
    "MaxRecursion 7\n"
    "DisableCache yes\n";

const char kAllDefaults[] =
    "AlertEncrypted yes\n"
    "LocalSocketMode 660\n"
    "CommandReadTimeout 30\n"
    "LogFileMaxSize 2M\n"
    "LogTime yes\n"
    "LogVerbose yes\n"
    "ExtendedDetectionInfo yes\n"
    "DatabaseDirectory /usr/lib/clamav\n"
    "ScanImage no\n"
    "ScanImageFuzzyHash no\n";

// Renders the settings through a memory stream.
std::string render(const EngineSettings &s, int *rc = nullptr) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *mem = open_memstream(&buf, &len);
  int r = emit_engine_conf(mem, s);
  fclose(mem);
  std::string out(buf, len);
  free(buf);
  if (rc != nullptr) *rc = r;
  return out;
}

// Messages go to a temporary log file during a test.
class LogCapture {
 public:
  explicit LogCapture(const std::string &path) : path_(path) {
    saved_log_ = OrnixLog;
    saved_level_ = LogLevel;
    OrnixLog = fopen(path.c_str(), "a");
    LogLevel = 8191;
  }
  ~LogCapture() {
    if (OrnixLog != nullptr) fclose(OrnixLog);
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
  }
  std::string text() const { return read_all(path_); }

 private:
  std::string path_;
  FILE *saved_log_;
  int saved_level_;
};

TEST(FacilityNames, TableMapsEveryRowAndEndsInNulls) {
  EXPECT_STREQ(name2facility("auth"), "LOG_AUTH");
  EXPECT_STREQ(name2facility("security"), "LOG_AUTH");
  EXPECT_STREQ(name2facility("mark"), "INTERNAL_MARK");
  EXPECT_STREQ(name2facility("LOCAL3"), "LOG_LOCAL3");
  EXPECT_STREQ(name2facility("local7"), "LOG_LOCAL7");
  EXPECT_STREQ(name2facility("Daemon"), "LOG_DAEMON");
  EXPECT_EQ(name2facility("authpriv"), nullptr);
  EXPECT_EQ(name2facility("ftp"), nullptr);
  EXPECT_EQ(name2facility(""), nullptr);
  int rows = 0;
  while (facilitynames2[rows].c_name != nullptr) rows++;
  EXPECT_EQ(rows, 20);
  EXPECT_EQ(facilitynames2[rows].c_val, nullptr);
}

TEST(EngineConf, WithoutAppendFileEveryLineInOrder) {
  EXPECT_EQ(render(sample()),
            std::string(kFixedHead) + "LogFile /srv/log/clamd.log\n" + kAllDefaults);
}

TEST(EngineConf, ValuesAreWrittenAsTheyStand) {
  EngineSettings s = sample();
  s.symlink = "maybe";
  s.archive_scan = "YES";
  std::string out = render(s);
  EXPECT_NE(out.find("FollowFileSymlinks maybe\nFollowDirectorySymlinks maybe\n"),
            std::string::npos);
  EXPECT_NE(out.find("ScanArchive YES\n"), std::string::npos);
}

TEST(EngineConf, SyslogVariant) {
  EngineSettings s = sample();
  s.log_path = "syslog";
  s.facility = "local3";
  EXPECT_EQ(render(s), std::string(kFixedHead) + "LogSyslog yes\nLogFacility LOG_LOCAL3\n" +
                           kAllDefaults);

  s.facility = "mark";
  EXPECT_NE(render(s).find("LogFacility INTERNAL_MARK\n"), std::string::npos);

  // The test looks at the first six characters only, case-sensitively.
  s.log_path = "syslog-anything";
  EXPECT_NE(render(s).find("LogSyslog yes\n"), std::string::npos);
  s.log_path = "SYSLOG";
  std::string upper = render(s);
  EXPECT_NE(upper.find("LogFile SYSLOG\n"), std::string::npos);
  EXPECT_EQ(upper.find("LogSyslog"), std::string::npos);
}

TEST(EngineConf, UnknownFacilityFallsBackToUser) {
  TempDir dir;
  LogCapture log(dir.file("log"));
  EngineSettings s = sample();
  s.log_path = "syslog";
  s.facility = "authpriv";
  std::string out = render(s);
  EXPECT_NE(out.find("LogSyslog yes\nLogFacility LOG_USER\n"), std::string::npos);
  EXPECT_NE(log.text().find("Facility authpriv has no engine name"), std::string::npos);
}

TEST(EngineConf, AppendFileLinesSuppressTheirDefaults) {
  TempDir dir;
  EngineSettings s = sample();
  s.append_file = dir.file("append.conf");
  write_all(s.append_file, "LocalSocketMode 600\nScanImage yes\n");
  EXPECT_EQ(render(s), std::string(kFixedHead) + "LogFile /srv/log/clamd.log\n" +
                           "LocalSocketMode 600\nScanImage yes\n" +
                           "AlertEncrypted yes\n"
                           "CommandReadTimeout 30\n"
                           "LogFileMaxSize 2M\n"
                           "LogTime yes\n"
                           "LogVerbose yes\n"
                           "ExtendedDetectionInfo yes\n"
                           "DatabaseDirectory /usr/lib/clamav\n"
                           "ScanImageFuzzyHash no\n");
}

TEST(EngineConf, FlagsNeedTheKeyAtLineStartAndABlankAfterIt) {
  TempDir dir;
  EngineSettings s = sample();
  s.append_file = dir.file("append.conf");
  write_all(s.append_file,
            "  LogTime no\n"                  // leading blanks: not a flag
            "LogVerbose\tno\n"                // no blank after the key
            "ScanImageFuzzyHash yes\n"        // not ScanImage
            "databasedirectory /srv/db\n"     // case does not matter
            "# AlertEncrypted no\n"           // a comment is not the key
            "LocalSocket /elsewhere\n");      // fixed keys are copied, not replaced
  std::string out = render(s);
  EXPECT_NE(out.find("LogTime yes\n"), std::string::npos);
  EXPECT_NE(out.find("LogVerbose yes\n"), std::string::npos);
  EXPECT_NE(out.find("ScanImage no\n"), std::string::npos);
  EXPECT_EQ(out.find("ScanImageFuzzyHash no\n"), std::string::npos);
  EXPECT_EQ(out.find("DatabaseDirectory /usr/lib/clamav"), std::string::npos);
  EXPECT_NE(out.find("AlertEncrypted yes\n"), std::string::npos);
  EXPECT_NE(out.find("LocalSocket /srv/run/clamd.socket\n"), std::string::npos);
  EXPECT_NE(out.find("LocalSocket /elsewhere\n"), std::string::npos);
  EXPECT_LT(out.find("LocalSocket /srv/run"), out.find("LocalSocket /elsewhere"));
}

TEST(EngineConf, MissingAppendFileIsLoggedAndWritingGoesOn) {
  TempDir dir;
  LogCapture log(dir.file("log"));
  EngineSettings s = sample();
  s.append_file = dir.file("no-such.conf");
  int rc = -2;
  EXPECT_EQ(render(s, &rc), std::string(kFixedHead) + "LogFile /srv/log/clamd.log\n" + kAllDefaults);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(log.text().find("AppendFile=" + s.append_file +
                            " open error(No such file or directory)\n"),
            std::string::npos);
}

TEST(EngineConf, LastAppendLineWithoutLineFeedIsEnded) {
  TempDir dir;
  EngineSettings s = sample();
  s.append_file = dir.file("append.conf");
  write_all(s.append_file, "DatabaseDirectory /srv/db");
  std::string out = render(s);
  EXPECT_NE(out.find("\nDatabaseDirectory /srv/db\nAlertEncrypted yes\n"), std::string::npos);
}

TEST(EngineConf, LongLinesAndZeroBytesAreCopiedIntact) {
  TempDir dir;
  EngineSettings s = sample();
  s.append_file = dir.file("append.conf");
  std::string long_line = "ExcludePath " + std::string(2500, 'x') + "\n";
  std::string with_zero("OnAccessMountPath /a\0b\n", 23);
  write_all(s.append_file, long_line + with_zero);
  std::string out = render(s);
  EXPECT_NE(out.find(long_line), std::string::npos);
  EXPECT_NE(out.find(with_zero), std::string::npos);
}

TEST(EngineConf, WriteErrorOfTheStreamIsReported) {
  FILE *full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(emit_engine_conf(full, sample()), -1);
  fclose(full);
}

TEST(EngineConfFile, WrittenReadableAndNothingLeftBeside) {
  TempDir dir;
  std::string path = dir.file("clamd.conf");
  write_all(path, "old contents\n");
  std::string err;
  ASSERT_EQ(write_engine_conf(path.c_str(), sample(), &err), 0) << err;
  EXPECT_EQ(read_all(path), render(sample()));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"clamd.conf"});
}

TEST(EngineConfFile, SymlinkAtThePathIsReplacedNotFollowed) {
  TempDir dir;
  std::string victim = dir.file("victim");
  write_all(victim, "precious\n");
  std::string path = dir.file("clamd.conf");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  std::string err;
  ASSERT_EQ(write_engine_conf(path.c_str(), sample(), &err), 0) << err;
  EXPECT_EQ(read_all(victim), "precious\n");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(EngineConfFile, MissingDirectoryFailsWithTheReason) {
  TempDir dir;
  std::string path = dir.file("no-dir/clamd.conf");
  std::string err;
  EXPECT_EQ(write_engine_conf(path.c_str(), sample(), &err), -1);
  EXPECT_NE(err.find(dir.file("no-dir/clamd.conf.tmp.")), std::string::npos) << err;
  EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
}

// A full disk, made real with the file-size limit: the old file stays whole
// and no temporary file is left behind.
TEST(EngineConfFile, FullDiskKeepsTheOldFile) {
  TempDir dir;
  std::string path = dir.file("clamd.conf");
  write_all(path, "old contents\n");
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ign = {}, old_sa = {};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ign, &old_sa), 0);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string err;
  int rc = write_engine_conf(path.c_str(), sample(), &err);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old_sa, nullptr);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("write("), std::string::npos) << err;
  EXPECT_NE(err.find("File too large"), std::string::npos) << err;
  EXPECT_EQ(read_all(path), "old contents\n");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"clamd.conf"});
}

}  // namespace
