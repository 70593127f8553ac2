// Stop mode against real processes, the exec failure path of the engine
// start, and the readiness wait on an absent socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "log.h"
#include "ornix.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/ornix-engine-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (d != nullptr) path_ = d;
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    int ignored = system(cmd.c_str());
    (void)ignored;
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_all(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// A child process running argv; killed and reaped when the test ends.
class Child {
 public:
  explicit Child(std::initializer_list<const char *> args) {
    std::vector<char *> argv;
    for (const char *a : args) argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      execv(argv[0], argv.data());
      _exit(127);
    }
    // Until exec has happened the command line is still the test's own.
    std::string want = std::string(args.begin()[0]);
    for (int i = 0; i < 200 && !exec_done(want); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // Waits (bounded) for the child to end; returns its wait status or -1.
  int wait_end(int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  bool exec_done(const std::string &exe) {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/cmdline");
    std::string first;
    std::getline(in, first, '\0');
    return first == exe;
  }
  pid_t pid_ = -1;
  bool reaped_ = false;
};

std::string pid_file_for(const TempDir &dir, int pid) {
  std::string path = dir.file("clamd.pid");
  write_all(path, std::to_string(pid) + "\n");
  return path;
}

class StopMode : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = OrnixLog;
    saved_level_ = LogLevel;
    OrnixLog = fopen(dir_.file("ornix.log").c_str(), "a");
    LogLevel = 8191;
  }
  void TearDown() override {
    fclose(OrnixLog);
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
  }
  std::string log_text() {
    std::ifstream in(dir_.file("ornix.log"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int stop(const std::string &pid_file, std::string *out) {
    testing::internal::CaptureStdout();
    int rc = stop_engine_mode(pid_file.c_str(), "/usr/sbin/clamd", conf_.c_str());
    fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    return rc;
  }
  TempDir dir_;
  std::string conf_ = "/srv/ornix/clamd.conf";
  FILE *saved_log_ = nullptr;
  int saved_level_ = 0;
};

TEST_F(StopMode, NoPidFileIsAlreadyStopped) {
  std::string out;
  EXPECT_EQ(stop(dir_.file("none.pid"), &out), 0);
  EXPECT_EQ(out, "Ornix already stopped or pid file not found.\n");
  EXPECT_NE(log_text().find("Ornix already stopped\n"), std::string::npos);
}

TEST_F(StopMode, PidOneAndGarbageAreNeverSignalled) {
  std::string out;
  EXPECT_EQ(stop(pid_file_for(dir_, 1), &out), 0);
  EXPECT_EQ(out, "Ornix already stopped or pid file not found.\n");
  EXPECT_NE(log_text().find("names process 1, not signalled"), std::string::npos);

  std::string garbage = dir_.file("garbage.pid");
  write_all(garbage, "not a number\n");
  EXPECT_EQ(stop(garbage, &out), 0);
  EXPECT_EQ(out, "Ornix already stopped or pid file not found.\n");
}

TEST_F(StopMode, StalePidFileOfAnEndedProcess) {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  std::string out;
  EXPECT_EQ(stop(pid_file_for(dir_, pid), &out), 0);
  EXPECT_EQ(out, "Ornix already stopped or pid file not found.\n");
  EXPECT_NE(log_text().find("which is not running"), std::string::npos);
}

TEST_F(StopMode, StrangerNamedByThePidFileSurvives) {
  Child stranger({"/bin/sleep", "30"});
  std::string out;
  EXPECT_EQ(stop(pid_file_for(dir_, stranger.pid()), &out), 0);
  EXPECT_EQ(out, "Ornix already stopped or pid file not found.\n");
  EXPECT_NE(log_text().find("which is not the engine; not signalled"), std::string::npos);
  EXPECT_EQ(stranger.wait_end(200), -1) << "the stranger was signalled";
}

TEST_F(StopMode, EngineStartedWithOurConfigurationIsSignalled) {
  // A sleeping python stands in for clamd here only to carry our --config-file argument.
  std::string arg = "--config-file=" + conf_;
  Child engine({"/usr/bin/python3", "-c", "import time; time.sleep(30)", arg.c_str()});
  std::string out;
  EXPECT_EQ(stop(pid_file_for(dir_, engine.pid()), &out), 0);
  EXPECT_EQ(out, "Ornix sending signal clamd(pid=" + std::to_string(engine.pid()) +
                     ") now stopped.\n");
  int status = engine.wait_end(10000);
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(EngineIdentity, ByArgumentOrByProgram) {
  Child by_arg({"/usr/bin/python3", "-c", "import time; time.sleep(30)", "--config-file=/x/clamd.conf"});
  EXPECT_TRUE(is_our_engine(by_arg.pid(), "/usr/sbin/clamd", "/x/clamd.conf"));
  EXPECT_FALSE(is_our_engine(by_arg.pid(), "/usr/sbin/clamd", "/y/clamd.conf"));

  Child by_exe({"/bin/sleep", "30"});
  EXPECT_TRUE(is_our_engine(by_exe.pid(), "/bin/sleep", "/x/clamd.conf"));
  EXPECT_FALSE(is_our_engine(by_exe.pid(), "/usr/sbin/clamd", "/x/clamd.conf"));
}

TEST(EngineStart, ProgramThatCannotBeExecuted) {
  TempDir dir;
  std::string not_exe = dir.file("clamd");
  write_all(not_exe, "#!/bin/sh\nexit 0\n");
  chmod(not_exe.c_str(), 0644);
  testing::internal::CaptureStderr();
  int rc = run_engine(not_exe.c_str(), "--config-file=/x", 60);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, ORNIX_EXIT_EXEC);
  EXPECT_NE(err.find("Error! execv: Permission denied\n"), std::string::npos) << err;
  EXPECT_NE(err.find("command: " + not_exe + " --config-file=/x\n"), std::string::npos) << err;
  EXPECT_NE(err.find("clamd could not execute\n"), std::string::npos) << err;

  testing::internal::CaptureStderr();
  rc = run_engine(dir.file("missing").c_str(), "--config-file=/x", 60);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, ORNIX_EXIT_EXEC);
  EXPECT_NE(err.find("Error! execv: No such file or directory\n"), std::string::npos) << err;
}

TEST(EngineStart, ProgramThatRunsAndReturns) {
  TempDir dir;
  std::string exe = dir.file("engine.sh");
  std::string seen = dir.file("args");
  write_all(exe, "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > '" + seen + "'\nexit 3\n");
  chmod(exe.c_str(), 0755);
  // The engine's own exit status does not decide: the socket probe does.
  EXPECT_EQ(run_engine(exe.c_str(), "--config-file=/x/y.conf", 60), 0);
  std::ifstream in(seen);
  std::string args((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(args, exe + "|--config-file=/x/y.conf|");
}

TEST(EngineStart, EngineStayingInTheForegroundDoesNotHoldUpTheStart) {
  TempDir dir;
  std::string exe = dir.file("engine.sh");
  std::string pidf = dir.file("pid");
  write_all(exe, "#!/bin/sh\necho $$ > '" + pidf + "'\nexec sleep 60\n");
  chmod(exe.c_str(), 0755);
  EXPECT_EQ(run_engine(exe.c_str(), "--config-file=/x", 1), 0);
  std::ifstream in(pidf);
  pid_t pid = 0;
  in >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(kill(pid, 0), 0) << "the foreground engine was not left running";
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(EngineReadiness, AbsentSocketNeverAnswers) {
  TempDir dir;
  EXPECT_EQ(wait_for_engine(dir.file("clamd.socket").c_str(), 2, 10), -1);
}

}  // namespace
