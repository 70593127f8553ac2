// The one runner of outside programs: fork and execv (a downloaded value is
// never shell syntax), standard output through a pipe, one time budget.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "ornix_lib.h"
#include "ornixup.h"

namespace {

constexpr size_t kLineRoom = 1023;

volatile sig_atomic_t child_event = 0;
void note_child(int) { child_event = 1; }

long long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for fd to be readable (or, with fd < 0, for nothing) until the
// deadline; SIGCHLD, blocked for the whole run, is let in only here, so a
// child's end wakes the wait. Returns poll's result, 0 at the deadline.
int wait_event(int fd, long long deadline) {
  long long left = deadline - now_ms();
  if (left <= 0) return 0;
  struct timespec ts = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
  sigset_t open_mask;
  sigprocmask(SIG_SETMASK, nullptr, &open_mask);
  sigdelset(&open_mask, SIGCHLD);
  struct pollfd pfd = {fd, POLLIN, 0};
  return ppoll(fd >= 0 ? &pfd : nullptr, fd >= 0 ? 1 : 0, &ts, &open_mask);
}

// SIGCHLD stays blocked while a command runs (the updater blocks it for the
// whole run anyway), so a child's end is never missed between two waits.
class ChildSignalBlock {
 public:
  ChildSignalBlock() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &saved_);
  }
  ~ChildSignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

void install_child_handler(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = note_child;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGCHLD, &sa, nullptr);
}

// Echoes complete lines (and pieces of kLineRoom characters) in console mode.
class LineEcho {
 public:
  void feed(const char *buf, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        flush();
        continue;
      }
      line_.push_back(buf[i]);
      if (line_.size() >= kLineRoom) flush();
    }
  }
  void flush(void) {
    if (cons_out && !line_.empty()) {
      fwrite(line_.data(), 1, line_.size(), stdout);
      fputc('\n', stdout);
      fflush(stdout);
    }
    line_.clear();
  }

 private:
  std::string line_;
};

// Everything the child does between fork and exec is async-signal-safe.
// A failed exec reports its errno through err_fd (closed on a good exec).
[[noreturn]] void run_child(const char *program, char *const *argv, int out_fd, int err_fd,
                            long long max_file_size) {
  setpgid(0, 0);   // one group: a time-out stops the command's own children too
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  dup2(out_fd, STDOUT_FILENO);
  if (max_file_size >= 0) {
    struct rlimit rl = {static_cast<rlim_t>(max_file_size), static_cast<rlim_t>(max_file_size)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(127);
  }
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(program, argv);
  int e = errno;
  ssize_t ignored = write(err_fd, &e, sizeof e);
  (void)ignored;
  _exit(127);
}

// Reaps pid, waiting at most until the deadline. Returns 1 with *status set,
// 0 when it is still running, -1 when there is nothing to wait for.
int reap_until(pid_t pid, int *status, long long deadline) {
  for (;;) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return 1;
    if (r < 0 && errno != EINTR) return -1;
    if (r == 0 && wait_event(-1, deadline) == 0 && now_ms() >= deadline) return 0;
  }
}

// The time-out: the whole group is stopped, asked first, then forced.
void stop_command(pid_t pid) {
  int status;
  kill(-pid, SIGTERM);
  if (reap_until(pid, &status, now_ms() + term_grace_ms()) != 0) {
    kill(-pid, SIGKILL);   // what the command started may still hold on
    return;
  }
  kill(-pid, SIGKILL);
  if (reap_until(pid, &status, now_ms() + term_grace_ms() + 5000) == 0)
    MsgLog(OrnixLog, 1, "command2: process %d did not end after SIGKILL\n", static_cast<int>(pid));
}

void drain(int fd, LineEcho *echo) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) echo->feed(buf, static_cast<size_t>(n));
}

int exit_result(int status) {
  if (WIFEXITED(status)) {
    MsgLog(OrnixLog, 128, "command2: exit status = %d\n", WEXITSTATUS(status));
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    MsgLog(OrnixLog, 128, "command2: killed by signal %d\n", WTERMSIG(status));
    return -1;
  }
  return -1;
}

}  // namespace

int command2(const char *program, const std::vector<std::string> &args, int timeout,
             long long max_file_size) {
  ChildSignalBlock block;
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  if (argv.empty()) argv.push_back(const_cast<char *>(program));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    MsgLog(OrnixLog, 1, "popen error %s\n", strerror(errno));
    return -1;
  }
  UniqueFd rd(fds[0]), wr(fds[1]);
  if (pipe2(fds, O_CLOEXEC) != 0) {
    MsgLog(OrnixLog, 1, "popen error %s\n", strerror(errno));
    return -1;
  }
  UniqueFd exec_rd(fds[0]), exec_wr(fds[1]);
  install_child_handler();
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) {
    MsgLog(OrnixLog, 1, "popen error %s\n", strerror(errno));
    return -1;
  }
  if (pid == 0) run_child(program, argv.data(), wr.get(), exec_wr.get(), max_file_size);
  setpgid(pid, pid);   // also here, so the group exists before any kill
  wr.reset();
  exec_wr.reset();
  int exec_errno = 0;
  ssize_t got;
  while ((got = read(exec_rd.get(), &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
  }
  if (got > 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    MsgLog(OrnixLog, 1, "popen error %s(%s)\n", strerror(exec_errno), program);
    return -1;
  }

  long long deadline = now_ms() + static_cast<long long>(timeout > 0 ? timeout : 0) * 1000;
  LineEcho echo;
  int status = 0;
  bool reaped = false;
  for (;;) {
    if (!reaped && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
    if (reaped) {   // output a daemonized grandchild keeps open is not waited for
      drain(rd.get(), &echo);
      break;
    }
    int r = wait_event(rd.get(), deadline);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      MsgLog(OrnixLog, 128, "command2: select error(%d)\n", errno);
      stop_command(pid);
      return -1;
    }
    if (r == 0) {
      MsgLog(OrnixLog, 128, "command2: select timeout\n");
      MsgLog(OrnixLog, 1, "command timeout\n");
      echo.flush();
      stop_command(pid);
      return -1;
    }
    char buf[4096];
    ssize_t n = read(rd.get(), buf, sizeof buf);
    if (n > 0) {
      echo.feed(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // End of output: the command gets what is left of its budget to exit.
    int reap = reap_until(pid, &status, deadline);
    if (reap < 0) return -1;
    if (reap == 0) {
      MsgLog(OrnixLog, 128, "command2: select timeout\n");
      MsgLog(OrnixLog, 1, "command timeout\n");
      echo.flush();
      stop_command(pid);
      return -1;
    }
    reaped = true;
    break;
  }
  echo.flush();
  return exit_result(status);
}
