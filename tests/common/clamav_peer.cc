#include "clamav_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ornix_test {

const char kEicar[] =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
const char kEicarName[] = "Ornix.Test.EICAR.UNOFFICIAL";
const char kClamExeName[] = "Ornix.Test.ClamExe.UNOFFICIAL";

std::string RigDir() {
  const char *src = getenv("ORNIX_TEST_SRC");
  return src ? std::string(src) + "/rig" : std::string();
}

bool Child::Start(const std::vector<std::string> &argv) {
  int inp[2], outp[2];
  if (pipe2(inp, O_CLOEXEC) != 0) return false;
  if (pipe2(outp, O_CLOEXEC) != 0) {
    close(inp[0]);
    close(inp[1]);
    return false;
  }
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(inp[0], 0);
    dup2(outp[1], 1);
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  close(inp[0]);
  close(outp[1]);
  pid_ = pid;
  in_ = inp[1];
  out_ = outp[0];
  return true;
}

bool Child::ReadLine(std::string *line, int seconds) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      *line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long left = seconds * 1000L - ((now.tv_sec - start.tv_sec) * 1000L +
                                   (now.tv_nsec - start.tv_nsec) / 1000000L);
    if (left <= 0 || out_ < 0) return false;
    struct pollfd p = {out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[512];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

void Child::Stop() {
  if (in_ >= 0) close(in_);
  in_ = -1;
  if (pid_ > 0) {
    // Both peers clean up on SIGTERM (the rig stops its clamd by pid).
    kill(pid_, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) gone = true;
      else usleep(50 * 1000);
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  if (out_ >= 0) close(out_);
  out_ = -1;
}

bool RealClamd::Start(const std::vector<std::string> &extra) {
  std::string rig = RigDir();
  if (rig.empty()) return false;
  std::vector<std::string> argv = {"/usr/bin/python3", rig + "/ornix_rig.py", "serve"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!child_.Start(argv)) return false;
  std::string line;
  while (child_.ReadLine(&line, 90)) {
    if (line.rfind("SOCKET ", 0) == 0) socket_ = line.substr(7);
    else if (line.rfind("DIR ", 0) == 0) dir_ = line.substr(4);
    else if (line == "READY") return !socket_.empty();
    else if (line.rfind("FAILED", 0) == 0) break;
  }
  child_.Stop();
  return false;
}

bool FakeEngine::Start(const std::string &dir, const std::string &mode, const std::string &reply,
                       const std::string &upstream) {
  std::string rig = RigDir();
  if (rig.empty()) return false;
  socket_ = dir + "/fake-" + mode + ".socket";
  record_ = dir + "/fake-" + mode + ".record";
  std::vector<std::string> argv = {"/usr/bin/python3", rig + "/fake_engine.py", "--socket",
                                   socket_, "--mode", mode, "--record", record_};
  if (!reply.empty()) {
    argv.push_back("--reply");
    argv.push_back(reply);
  }
  if (!upstream.empty()) {
    argv.push_back("--upstream");
    argv.push_back(upstream);
  }
  if (!child_.Start(argv)) return false;
  std::string line;
  if (child_.ReadLine(&line, 30) && line == "READY") return true;
  child_.Stop();
  return false;
}

void FakeEngine::ClearRecord() { unlink(record_.c_str()); }

bool FakeEngine::Record(std::string *bytes, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    std::ifstream in(record_, std::ios::binary);
    if (in) {
      std::stringstream ss;
      ss << in.rdbuf();
      *bytes = ss.str();
      return true;
    }
    usleep(50 * 1000);
  }
  return false;
}

TempDir::TempDir() {
  char t[] = "/tmp/ornix_clamav_test.XXXXXX";
  if (mkdtemp(t)) path_ = t;
}

TempDir::~TempDir() {
  if (!path_.empty()) Run({"/bin/rm", "-rf", path_});
}

std::string TempDir::Write(const std::string &name, const std::string &content) const {
  std::string p = path_ + "/" + name;
  std::ofstream out(p, std::ios::binary);
  out << content;
  return p;
}

int Run(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ornix_test
