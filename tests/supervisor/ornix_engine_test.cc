// The engine: its configuration file (line order, presence flags, the syslog
// variant, the replacement of the file), the stop mode against real
// processes, and an engine that never returns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "ornix.h"
#include "safe_file.h"

namespace {

// A temporary directory whose log file takes the messages of the test.
class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/ornix-engine-test-XXXXXX";
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
    std::filesystem::remove_all(dir_);
  }
  std::string file(const std::string &name) const { return dir_ + "/" + name; }
  std::vector<std::string> entries() const {  // without the log
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir_))
      if (e.path().filename() != "log") names.push_back(e.path().filename());
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
  return std::string(std::istreambuf_iterator<char>(in), {});
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
    "MaxFileSize 0\nMaxRecursion 7\nAlertExceedsMax yes\nDisableCache yes\n";
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

TEST(EngineConf, SyslogVariant) {
  Scratch dir;
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

TEST(EngineConf, MissingAppendFileIsLoggedAndEveryDefaultWrittenInOrder) {
  Scratch dir;
  EngineSettings s = sample();
  s.append_file = dir.file("no-such.conf");
  int rc = -2;
  EXPECT_EQ(render(s, &rc), kHead + kLogFile + kDefaults);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(read_all(dir.file("log")).find("AppendFile=" + s.append_file +
                                           " open error(No such file or directory)\n"),
            std::string::npos);
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

// A child process running argv; killed and reaped when the test ends.
class Child {
 public:
  explicit Child(std::vector<const char *> args) {
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      execv(args[0], const_cast<char **>(args.data()));
      _exit(127);
    }
    // Until exec has happened the command line is still the test's own.
    for (int i = 0; i < 200 && first_arg() != args[0]; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Child() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  bool alive() { return waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  std::string first_arg() {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/cmdline");
    std::string first;
    std::getline(in, first, '\0');
    return first;
  }
  pid_t pid_ = -1;
};

TEST(StopMode, PidsThatAreNotOurEngineAreNeverSignalled) {
  Scratch dir;
  pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  Child stranger({"/bin/sleep", "30"});
  const std::string rows[][2] = {
      {"0\n", "Ornix already stopped\n"},
      {"1\n", "names process 1, not signalled"},
      {"not a number\n", "Ornix already stopped\n"},
      {std::to_string(ended) + "\n", "which is not running"},
      {std::to_string(stranger.pid()) + "\n", "which is not the engine; not signalled"},
  };
  std::string pid_file = dir.file("clamd.pid");
  for (const auto &row : rows) {
    write_all(pid_file, row[0]);
    testing::internal::CaptureStdout();
    EXPECT_EQ(stop_engine_mode(pid_file.c_str(), "/usr/sbin/clamd", "/srv/clamd.conf"), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Ornix already stopped or pid file not found.\n") << row[0];
    EXPECT_NE(read_all(dir.file("log")).find(row[1]), std::string::npos) << row[0];
  }
  EXPECT_TRUE(stranger.alive()) << "the stranger was signalled";
}

// The one check before any stop signal: the engine program with our configuration.
TEST(EngineIdentity, TheProgramAndOurArgumentBoth) {
  Child engine({"/usr/bin/python3", "-c", "import time; time.sleep(30)", "--config-file=/x/c.conf"});
  EXPECT_TRUE(is_our_engine(engine.pid(), "/usr/bin/python3", "/x/c.conf"));
  EXPECT_FALSE(is_our_engine(engine.pid(), "/usr/bin/python3", "/y/c.conf"));
  EXPECT_FALSE(is_our_engine(engine.pid(), "/usr/sbin/clamd", "/x/c.conf"));
  Child program_only({"/bin/sleep", "30"});
  EXPECT_FALSE(is_our_engine(program_only.pid(), "/bin/sleep", "/x/c.conf"));
}

TEST(EngineStart, EngineStayingInTheForegroundDoesNotHoldUpTheStart) {
  Scratch dir;
  std::string exe = dir.file("engine.sh"), pidf = dir.file("pid");
  write_all(exe, "#!/bin/sh\necho $$ > '" + pidf + "'\nexec sleep 60\n");
  chmod(exe.c_str(), 0755);
  EXPECT_EQ(run_engine(exe.c_str(), "--config-file=/x", 1), 0);
  pid_t pid = atoi(read_all(pidf).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(kill(pid, 0), 0) << "the foreground engine was not left running";
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace
