// Shared pieces of the unit tests (see test_util.h).
#include "test_util.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "log.h"

namespace ornix_test {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TempDir::TempDir(unsigned mode) {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ornix_test.XXXXXX";
  if (mkdtemp(tmpl.data()) != nullptr && chmod(tmpl.c_str(), mode) == 0) path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const {
  WriteFile(file(name), content);
  return file(name);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

LogCapture::LogCapture(int level) : saved_log_(OrnixLog), saved_level_(LogLevel) {
  OrnixLog = open_memstream(&buf_, &len_);
  LogLevel = level;
}

LogCapture::~LogCapture() {
  fclose(OrnixLog);
  free(buf_);
  OrnixLog = saved_log_;
  LogLevel = saved_level_;
}

std::string LogCapture::text() {
  fflush(OrnixLog);
  return std::string(buf_, len_);
}

bool Child::Exec(const std::vector<std::string> &argv, bool pipes) {
  int inp[2] = {-1, -1}, outp[2] = {-1, -1};
  if (pipes && (pipe2(inp, O_CLOEXEC) != 0 || pipe2(outp, O_CLOEXEC) != 0)) return false;
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (pipes) {
      dup2(inp[0], 0);
      dup2(outp[1], 1);
    }
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pipes) {
    close(inp[0]);
    close(outp[1]);
    in_ = inp[1];
    out_ = outp[0];
  }
  return pid_ > 0;
}

bool Child::Fork(const std::function<int()> &body) {
  fflush(nullptr);  // buffered output must not be written twice
  pid_ = fork();
  if (pid_ == 0) _exit(body());
  return pid_ > 0;
}

bool Child::ReadLine(std::string *line, int seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  line->clear();
  for (char c = 0; c != '\n'; *line += c) {
    struct pollfd p = {out_, POLLIN, 0};
    int wait = ms_left(deadline);
    if (out_ < 0 || wait == 0 || poll(&p, 1, wait) <= 0 || read(out_, &c, 1) != 1) return false;
  }
  line->pop_back();
  return true;
}

int Child::Wait(int seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (pid_ > 0) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (r < 0 || ms_left(deadline) == 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

bool Child::Running() { return pid_ > 0 && Wait(0) < 0 && pid_ > 0; }

void Child::Stop() {
  if (in_ >= 0) close(in_);
  if (pid_ > 0 && kill(pid_, SIGTERM) == 0 && Wait(10) < 0 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  pid_ = in_ = out_ = -1;
}

int Run(const std::vector<std::string> &argv, int seconds) {
  Child c;
  if (!c.Exec(argv)) return -1;
  return c.Wait(seconds);
}

bool japanese_iconv() {
  for (const char *cs : {"EUC-JP", "SHIFT_JIS", "ISO-2022-JP", "ISO-2022-JP-3"}) {
    iconv_t cd = iconv_open(cs, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
  }
  return true;
}

}  // namespace ornix_test
