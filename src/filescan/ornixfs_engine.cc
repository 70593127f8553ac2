// The engine as the file scanner uses it: started through the supervisor
// when it is down, shared with every other run using it, and stopped only
// once no run uses it any more.
//
// Every run holds a shared lock on "<PidFile>.lock" while it scans. A run
// that started the engine writes the engine's pid into that file. At its end
// a run stops the engine only when it can take the lock exclusively (no other
// run is scanning) and the engine is one a run started: its own, or the one
// the file names. So the starter stops it when alone, otherwise the last run
// out does, and an engine started by hand is never stopped by a run.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "ornix_common.h"
#include "ornix_lib.h"
#include "ornixfs.h"
#include "ornixfs_json.h"
#include "safe_file.h"
#include "stop_signal.h"
#include "wait_scale.h"

namespace {

// The supervisor's own bounds (engine return, socket probes) stay below this.
constexpr long kSupervisorLimitMs = 600 * 1000;
constexpr long kShareWaitMs = 60 * 1000;
constexpr long kEngineExitMs = 5 * 1000;

int share_fd = -1;
bool share_done = false;
bool starting = false;   // a start of ours is under way: the engine is ours

const char *pid_file() { return config_text("aveserver", "PidFile"); }

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);   // a signal ends it early: every caller looks again
}

int read_mark() {
  char buf[24] = {};
  ssize_t n = pread(share_fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  return atoi(buf);
}

void write_mark(int pid) {
  char buf[24];
  int n = snprintf(buf, sizeof buf, "%d\n", pid);
  if (ftruncate(share_fd, 0) != 0 || (pid > 0 && !pwrite_all(share_fd, buf, static_cast<size_t>(n), 0)))
    MsgLog(OrnixLog, 1, "engine share file write(%s.lock): %s\n", pid_file(), strerror(errno));
}

// The shared lock, waiting (bounded) while a leaving run holds it exclusively.
void share_join() {
  std::string path = std::string(pid_file()) + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  }
  if (fd < 0) {
    MsgLog(OrnixLog, 1, "engine share file open(%s): %s\n", path.c_str(), strerror(errno));
    return;
  }
  const long long deadline = now_ms() + scaled_wait_ms(kShareWaitMs);
  while (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || now_ms() >= deadline) {
      MsgLog(OrnixLog, 1, "engine share lock(%s): %s\n", path.c_str(), strerror(errno));
      close(fd);
      return;
    }
    check_stop();
    sleep_ms(20);
  }
  share_fd = fd;
}

// Runs that find the engine down start it one at a time: the first starts
// it, the others wait for that start and then find it running. Two
// supervisors starting two engines on one socket would make both fail.
// Returns the held lock's descriptor, or -1 (no lock: the start goes ahead).
int start_lock() {
  std::string path = std::string(pid_file()) + ".start";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  }
  if (fd < 0) {
    MsgLog(OrnixLog, 1, "engine start lock open(%s): %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  // Longer than a start may take, so a waiting run sees the other's result.
  const long long deadline = now_ms() + scaled_wait_ms(kSupervisorLimitMs + kShareWaitMs);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || now_ms() >= deadline) {
      MsgLog(OrnixLog, 1, "engine start lock(%s): %s\n", path.c_str(), strerror(errno));
      close(fd);
      return -1;
    }
    check_stop();
    sleep_ms(20);
  }
  return fd;
}

// The engine started the moment before: recorded for the last run out.
void mark_started() {
  if (share_fd < 0) return;
  int pid = get_ave_pid(pid_file());
  if (pid > 1) write_mark(pid);
}

// Ends and reaps the child: SIGTERM, then SIGKILL after a short grace.
void end_child(pid_t pid) {
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    sleep_ms(20);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

int start_supervisor(const char *user) {
  std::string prog = std::string(OrnixBinPath) + "/ornix";
  std::string conf = config_path != nullptr ? config_path : ORNIX_DEFAULT_CONFIG;
  // The arguments as they are: no shell ever reads them.
  const char *argv[6] = {prog.c_str(), "-c", conf.c_str(), nullptr, nullptr, nullptr};
  if (user != nullptr) {
    argv[1] = "-u", argv[2] = user, argv[3] = "-c", argv[4] = conf.c_str();
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    MsgLog(OrnixLog, 1, "engine start fork(%s): %s\n", prog.c_str(), strerror(errno));
    return -1;
  }
  if (pid == 0) {
    execv(prog.c_str(), const_cast<char *const *>(argv));
    int e = errno;
    fprintf(stderr, "execv(%s): %s\n", prog.c_str(), strerror(e));
    _exit(127);
  }
  const long long deadline = now_ms() + scaled_wait_ms(kSupervisorLimitMs);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      MsgLog(OrnixLog, 1, "engine start waitpid(%s): %s\n", prog.c_str(), strerror(errno));
      return -1;
    }
    if (stop_requested()) {
      end_child(pid);
      abort_exit(ornix_stop_signal);
    }
    if (now_ms() >= deadline) {
      MsgLog(OrnixLog, 1, "engine start(%s): no end after %ld seconds, stopped\n", prog.c_str(),
             kSupervisorLimitMs / 1000);
      end_child(pid);
      return -1;
    }
    sleep_ms(20);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  if (WIFEXITED(status))
    MsgLog(OrnixLog, 1, "engine start(%s): exit status %d\n", prog.c_str(), WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    MsgLog(OrnixLog, 1, "engine start(%s): ended by signal %d\n", prog.c_str(), WTERMSIG(status));
  return -1;
}

void stop_engine(void) {
  const char *pidfile = pid_file();
  const char *exe = config_text("aveserver", "AveExe");
  const char *conf = config_text("aveserver", "ConfigFile");
  int pid = get_ave_pid(pidfile);
  if (pid <= 1) return;
  // The pid file is writable by the engine's user: its word alone is not enough.
  if (!is_our_engine(pid, exe, conf)) {
    MsgLog(OrnixLog, 1, "pid file %s names process %d, which is not the engine; not signalled\n",
           pidfile, pid);
    return;
  }
  kill(pid, SIGTERM);
  MsgLog(OrnixLog, 2, "clamd stopped\n");
  const long long deadline = now_ms() + scaled_wait_ms(kEngineExitMs);
  while (kill(pid, 0) == 0 && now_ms() < deadline) sleep_ms(20);
  if (kill(pid, 0) == 0 && is_our_engine(pid, exe, conf)) {
    kill(pid, SIGKILL);
    unlink(pidfile);
    MsgLog(OrnixLog, 2, "clamd killed\n");
  }
}

void ensure_engine(int auto_start, const char *user, int quiet) {
  share_join();
  if (clamd_is_running(SocketPath) != -1 || auto_start != 1) return;
  check_stop();
  UniqueFd lock(start_lock());
  // Another run may have started it while this one waited for the lock.
  if (lock.ok() && clamd_is_running(SocketPath) != -1) return;
  if (!quiet) MsgLog(OrnixLog, 2, "Ornix AV engine starting ...\n");
  starting = true;
  int rc = start_supervisor(user);
  check_stop();
  if (rc != 0 || clamd_is_running(SocketPath) == -1) {
    starting = false;
    if (!quiet) MsgLog(OrnixLog, 1, "Ornix AV engine not execute.\n");
    engine_leave();
    fprintf(stderr, "%s: clamd could not be started(%s), nothing scanned\n", program, SocketPath);
    run_report_end(97);
    exit(97);
  }
  starting = false;
  MyExec = 1;
  mark_started();
}

void engine_restarted(void) {
  // An engine a run started, brought back: still one for the last run out.
  if (share_fd >= 0 && read_mark() > 1) mark_started();
}

void engine_leave(void) {
  if (share_done) return;
  share_done = true;
  const bool ours = MyExec == 1 || starting;
  if (share_fd < 0) {
    if (ours) stop_engine();
    return;
  }
  if (flock(share_fd, LOCK_EX | LOCK_NB) == 0) {
    int mark = read_mark();
    if (ours || (mark > 1 && mark == get_ave_pid(pid_file()))) stop_engine();
    if (mark != 0) write_mark(0);
  } else if (ours) {
    MsgLog(OrnixLog, 2, "clamd left running for the runs still using it\n");
  }
  close(share_fd);
  share_fd = -1;
}
