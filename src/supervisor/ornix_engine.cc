// Starting clamd, waiting for its socket, and the "stop" mode.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "clamav_api.h"
#include "log.h"
#include "ornix.h"
#include "ornix_lib.h"
#include "safe_file.h"
#include "wait_scale.h"

namespace {

void pause_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void print_already_stopped(void) {
  puts("Ornix already stopped or pid file not found.");
  MsgLog(OrnixLog, 2, "Ornix already stopped\n");
}

}  // namespace

int stop_engine_mode(const char *pid_file, const char *ave_exe, const char *config_file) {
  int pid = get_ave_pid(pid_file);
  if (pid < 1) {
    print_already_stopped();
    return ORNIX_EXIT_OK;
  }
  // Signalling init, a recycled pid or a stranger would stop the wrong process.
  if (pid == 1) {
    MsgLog(OrnixLog, 1, "pid file %s names process 1, not signalled\n", pid_file);
    print_already_stopped();
    return ORNIX_EXIT_OK;
  }
  if (kill(pid, 0) != 0 && errno == ESRCH) {
    MsgLog(OrnixLog, 2, "pid file %s names process %d, which is not running\n", pid_file, pid);
    print_already_stopped();
    return ORNIX_EXIT_OK;
  }
  if (!is_our_engine(pid, ave_exe, config_file)) {
    MsgLog(OrnixLog, 1, "pid file %s names process %d, which is not the engine; not signalled\n",
           pid_file, pid);
    print_already_stopped();
    return ORNIX_EXIT_OK;
  }
  if (kill(pid, SIGTERM) != 0) {
    int e = errno;
    fprintf(stderr, "Ornix could not send signal to clamd(pid=%d): %s\n", pid, strerror(e));
    MsgLog(OrnixLog, 1, "Ornix could not send signal to clamd(pid=%d): %s\n", pid, strerror(e));
    return ORNIX_EXIT_SIGNAL;
  }
  printf("Ornix sending signal clamd(pid=%d) now stopped.\n", pid);
  return ORNIX_EXIT_OK;
}

void show_log_tail(const char *path, int lines) {
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) return;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // The tail of a large log is all that is wanted.
  const off_t want = 16384;
  off_t from = st.st_size > want ? st.st_size - want : 0;
  std::string text(static_cast<size_t>(st.st_size - from), '\0');
  if (text.empty() || !pread_all(fd.get(), text.data(), text.size(), from)) return;
  size_t pos = text.size() - (text.back() == '\n' ? 1 : 0);
  for (int n = 0; pos > 0; --pos)
    if (text[pos - 1] == '\n' && ++n == lines) break;
  fprintf(stderr, "last lines of %s:\n%s", path, text.c_str() + pos);
  if (text.back() != '\n') fputc('\n', stderr);
}

int wait_for_engine(const char *socket_file, int attempts, int pause) {
  for (int i = 1; i <= attempts; i++) {
    if (clamd_is_running(socket_file) == 0) return 0;
    scaled_pause_ms(pause);
  }
  return -1;
}

int run_engine(const char *ave_exe, const char *config_arg, int return_limit_s) {
  // The child reports a failed execv through this pipe; a successful one
  // closes it, so the parent knows at once instead of probing for nothing.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fprintf(stderr, "can not fork\n");
    MsgLog(OrnixLog, 1, "pipe error(%s)\n", strerror(errno));
    return ORNIX_EXIT_FORK;
  }
  UniqueFd rd(fds[0]), wr(fds[1]);
  fflush(nullptr);   // buffered output must not be written twice
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "can not fork\n");
    return ORNIX_EXIT_FORK;
  }
  if (pid == 0) {
    MsgLog(OrnixLog, 1, "command: %s %s\n", ave_exe, config_arg);
    MsgLog(OrnixLog, 128, "pid=%d,uid=%d,euid=%d\n", static_cast<int>(pid),
           static_cast<int>(getuid()), static_cast<int>(geteuid()));
    char *argv[] = {const_cast<char *>(ave_exe), const_cast<char *>(config_arg), nullptr};
    execv(ave_exe, argv);
    int e = errno;
    ssize_t ignored = write(wr.get(), &e, sizeof e);
    (void)ignored;
    fprintf(stderr, "Error! execv: %s\n", strerror(e));
    fprintf(stderr, "command: %s %s\n", ave_exe, config_arg);
    fprintf(stderr, "uid=%d,euid=%d\n", static_cast<int>(getuid()), static_cast<int>(geteuid()));
    fprintf(stderr, "clamd could not execute\n");
    fflush(stderr);
    _exit(ORNIX_EXIT_EXEC);
  }
  wr.reset();
  // Returns as soon as execv succeeded (the pipe closes) or failed.
  int child_errno = 0;
  ssize_t n;
  while ((n = read(rd.get(), &child_errno, sizeof child_errno)) < 0 && errno == EINTR) {
  }
  bool exec_failed = n == static_cast<ssize_t>(sizeof child_errno);

  // The engine is expected to return once it runs in the background; one
  // that stays in the foreground must not hold up the supervisor (and the
  // scanner waiting for it) for ever: after the limit its socket decides.
  int status = 0;
  int waited_ms = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, exec_failed ? 0 : WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      MsgLog(OrnixLog, 1, "waitpid(%d) error(%s)\n", static_cast<int>(pid), strerror(errno));
      return ORNIX_EXIT_WAIT;
    }
    if (waited_ms >= scaled_wait_ms(return_limit_s * 1000L)) {
      MsgLog(OrnixLog, 1, "%s has not returned after %d seconds, probing its socket\n", ave_exe,
             return_limit_s);
      return 0;
    }
    pause_ms(50);
    waited_ms += 50;
  }
  if (exec_failed) {
    MsgLog(OrnixLog, 1, "clamd could not execute(%s: %s)\n", ave_exe, strerror(child_errno));
    return ORNIX_EXIT_EXEC;
  }
  // An engine that ends in failure before it is in the background (its
  // configuration refused, say) will never answer: no point in probing.
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    fprintf(stderr, "Error! %s exited with status %d\n", ave_exe, WEXITSTATUS(status));
    MsgLog(OrnixLog, 1, "%s exited with status %d\n", ave_exe, WEXITSTATUS(status));
    return ORNIX_EXIT_NOT_UP;
  }
  if (WIFSIGNALED(status)) {
    fprintf(stderr, "Error! %s ended by signal %d\n", ave_exe, WTERMSIG(status));
    MsgLog(OrnixLog, 1, "%s ended by signal %d\n", ave_exe, WTERMSIG(status));
    return ORNIX_EXIT_NOT_UP;
  }
  return 0;
}
