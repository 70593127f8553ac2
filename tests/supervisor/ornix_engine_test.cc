// Stop mode against real processes, and an engine that never returns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "ornix.h"

namespace {

void write_all(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string read_all(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
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

class StopMode : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ornix-engine-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_log_ = OrnixLog;
    OrnixLog = fopen((dir_ + "/ornix.log").c_str(), "a");
    LogLevel = 8191;
  }
  void TearDown() override {
    fclose(OrnixLog);
    OrnixLog = saved_log_;
    int ignored = system(("rm -rf '" + dir_ + "'").c_str());
    (void)ignored;
  }
  // Stops through a pid file holding text; returns what was printed.
  std::string stop(const std::string &text) {
    std::string pid_file = dir_ + "/clamd.pid";
    write_all(pid_file, text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(stop_engine_mode(pid_file.c_str(), "/usr/sbin/clamd", "/srv/ornix/clamd.conf"), 0);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
  std::string log_text() { return read_all(dir_ + "/ornix.log"); }
  std::string dir_;
  FILE *saved_log_ = nullptr;
};

TEST_F(StopMode, PidsThatAreNotOurEngineAreNeverSignalled) {
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
  for (const auto &row : rows) {
    EXPECT_EQ(stop(row[0]), "Ornix already stopped or pid file not found.\n") << row[0];
    EXPECT_NE(log_text().find(row[1]), std::string::npos) << row[0];
  }
  EXPECT_TRUE(stranger.alive()) << "the stranger was signalled";
}

TEST(EngineIdentity, ByOurArgumentOrByTheEngineProgram) {
  Child by_arg({"/usr/bin/python3", "-c", "import time; time.sleep(30)", "--config-file=/x/c.conf"});
  EXPECT_TRUE(is_our_engine(by_arg.pid(), "/usr/sbin/clamd", "/x/c.conf"));
  EXPECT_FALSE(is_our_engine(by_arg.pid(), "/usr/sbin/clamd", "/y/c.conf"));
  Child by_exe({"/bin/sleep", "30"});
  EXPECT_TRUE(is_our_engine(by_exe.pid(), "/bin/sleep", "/x/c.conf"));
}

TEST(EngineStart, EngineStayingInTheForegroundDoesNotHoldUpTheStart) {
  char tmpl[] = "/tmp/ornix-engine-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl, exe = dir + "/engine.sh", pidf = dir + "/pid";
  write_all(exe, "#!/bin/sh\necho $$ > '" + pidf + "'\nexec sleep 60\n");
  chmod(exe.c_str(), 0755);
  EXPECT_EQ(run_engine(exe.c_str(), "--config-file=/x", 1), 0);
  pid_t pid = atoi(read_all(pidf).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(kill(pid, 0), 0) << "the foreground engine was not left running";
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  int ignored = system(("rm -rf '" + dir + "'").c_str());
  (void)ignored;
}

}  // namespace
