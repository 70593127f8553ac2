// The engine configuration file: line order, presence flags, the syslog
// variant, and the write through a temporary file.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "ornix.h"

namespace {

// A temporary directory whose log file takes the messages of the test.
class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/ornix-conf-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
    saved_log_ = OrnixLog;
    saved_level_ = LogLevel;
    OrnixLog = fopen(file("log").c_str(), "a");
    LogLevel = 8191;
  }
  ~Scratch() {
    if (OrnixLog != nullptr) fclose(OrnixLog);
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
    int ignored = system(("rm -rf '" + dir_ + "'").c_str());
    (void)ignored;
  }
  std::string file(const std::string &name) const { return dir_ + "/" + name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir_.c_str())) {
      while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.' && strcmp(e->d_name, "log") != 0) names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string dir_;
  FILE *saved_log_;
  int saved_level_;
};

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
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

const std::string kHead =
    "TemporaryDirectory /srv/tmp\nLocalSocket /srv/run/clamd.socket\nPidFile /srv/run/clamd.pid\n"
    "FollowFileSymlinks yes\nFollowDirectorySymlinks yes\nScanArchive no\nMaxScanSize 0\n"
    "MaxFileSize 0\nMaxRecursion 7\nDisableCache yes\n";
const std::string kLogFile = "LogFile /srv/log/clamd.log\n";
const std::string kDefaults =
    "AlertEncrypted yes\nLocalSocketMode 660\nCommandReadTimeout 30\nLogFileMaxSize 2M\n"
    "LogTime yes\nLogVerbose yes\nExtendedDetectionInfo yes\nDatabaseDirectory /usr/lib/clamav\n"
    "ScanImage no\nScanImageFuzzyHash no\n";

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

TEST(EngineConf, EveryLineInOrderAndTheSyslogVariant) {
  Scratch dir;
  EXPECT_EQ(render(sample()), kHead + kLogFile + kDefaults);
  EngineSettings s = sample();
  s.log_path = "syslog";
  const char *rows[][2] = {{"local3", "LOG_LOCAL3"}, {"Security", "LOG_AUTH"},
                           {"mark", "INTERNAL_MARK"},
                           // No engine name: the engine would refuse it.
                           {"authpriv", "LOG_USER"}};
  for (auto &row : rows) {
    s.facility = row[0];
    EXPECT_EQ(render(s), kHead + "LogSyslog yes\nLogFacility " + row[1] + "\n" + kDefaults);
  }
  EXPECT_NE(read_all(dir.file("log")).find("Facility authpriv has no engine name"),
            std::string::npos);
}

TEST(EngineConf, AppendFileIsCopiedAsItStandsAndSuppressesOnlyItsKeys) {
  Scratch dir;
  EngineSettings s = sample();
  s.append_file = dir.file("append.conf");
  std::string long_line = "ExcludePath " + std::string(2500, 'x') + "\n";
  std::string appended = "LocalSocketMode 600\n"
                         "  LogTime no\n"               // leading blanks: not the key
                         "LogVerbose\tno\n"             // no blank after the key
                         "ScanImageFuzzyHash yes\n"     // not ScanImage
                         "databasedirectory /srv/db\n"  // case does not matter
                         "# AlertEncrypted no\n" +
                         long_line + std::string("OnAccessMountPath /a\0b\n", 23) +
                         "LocalSocket /elsewhere";      // no line feed at the end
  write_all(s.append_file, appended);
  EXPECT_EQ(render(s), kHead + kLogFile + appended +
                           "\nAlertEncrypted yes\nCommandReadTimeout 30\nLogFileMaxSize 2M\n"
                           "LogTime yes\nLogVerbose yes\nExtendedDetectionInfo yes\n"
                           "ScanImage no\n");
}

TEST(EngineConf, MissingAppendFileIsLoggedAndWriteErrorsAreReported) {
  Scratch dir;
  EngineSettings s = sample();
  s.append_file = dir.file("no-such.conf");
  int rc = -2;
  EXPECT_EQ(render(s, &rc), kHead + kLogFile + kDefaults);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(read_all(dir.file("log")).find("AppendFile=" + s.append_file +
                                           " open error(No such file or directory)\n"),
            std::string::npos);

  FILE *full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(emit_engine_conf(full, sample()), -1);
  fclose(full);
}

TEST(EngineConfFile, ReplacesALinkAtThePathAndLeavesNothingBeside) {
  Scratch dir;
  std::string path = dir.file("clamd.conf");
  write_all(dir.file("victim"), "precious\n");
  ASSERT_EQ(symlink(dir.file("victim").c_str(), path.c_str()), 0);
  std::string err;
  ASSERT_EQ(write_engine_conf(path.c_str(), sample(), &err), 0) << err;
  EXPECT_EQ(read_all(path), render(sample()));
  EXPECT_EQ(read_all(dir.file("victim")), "precious\n");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);   // the engine may run as another user
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"clamd.conf", "victim"}));
}

TEST(EngineConfFile, FailuresNameThePathAndKeepTheOldFile) {
  Scratch dir;
  std::string err;
  EXPECT_EQ(write_engine_conf(dir.file("no-dir/clamd.conf").c_str(), sample(), &err), -1);
  EXPECT_NE(err.find(dir.file("no-dir/clamd.conf.tmp.")), std::string::npos) << err;
  EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;

  // A full disk, made real with the file-size limit.
  std::string path = dir.file("clamd.conf");
  write_all(path, "old contents\n");
  struct rlimit saved, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ign = {}, old_sa = {};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ign, &old_sa), 0);
  small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int rc = write_engine_conf(path.c_str(), sample(), &err);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old_sa, nullptr);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("write("), std::string::npos) << err;
  EXPECT_NE(err.find("File too large"), std::string::npos) << err;
  EXPECT_EQ(read_all(path), "old contents\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"clamd.conf"});
}

}  // namespace
