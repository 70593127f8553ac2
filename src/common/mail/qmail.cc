// The qmail-queue feed (message on one descriptor, then the envelope on the
// other), bounded writes to a child that may stop reading or die, and the
// bounded wait for that child.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "log.h"
#include "mail.h"
#include "mail_internal.h"
#include "protocol.h"
#include "wait_scale.h"

namespace ornix_mail {
namespace {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// SIGPIPE blocked for the life of the object; one raised meanwhile by a
// reader that went away is taken before the mask is restored, so it never
// reaches the caller's disposition.
class NoSigpipe {
 public:
  NoSigpipe() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    sigprocmask(SIG_BLOCK, &pipe_only, &old_);
  }
  ~NoSigpipe() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      sigset_t pipe_only;
      sigemptyset(&pipe_only);
      sigaddset(&pipe_only, SIGPIPE);
      timespec zero{0, 0};
      int saved = errno;
      sigtimedwait(&pipe_only, nullptr, &zero);
      errno = saved;
    }
    sigprocmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t old_;
  bool was_pending_ = false;
};

// Waits until the child has ended or the deadline passes: true when ended.
bool await_end(pid_t pid, long long deadline, int *ws) {
  int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    pid_t r = waitpid(pid, ws, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      if (pfd >= 0) close(pfd);
      if (r < 0) *ws = -1;
      return true;
    }
    long long left = deadline - now_ms();
    if (left <= 0) break;
    // Without pidfd (old kernels, some emulators) a short nap between looks.
    pollfd p{pfd, POLLIN, 0};
    int ms = static_cast<int>(left > 1000 ? 1000 : left);
    if (pfd >= 0)
      poll(&p, 1, ms);
    else
      poll(nullptr, 0, ms < 10 ? ms : 10);
  }
  if (pfd >= 0) close(pfd);
  return false;
}

}  // namespace

int wait_child(pid_t pid, int seconds, bool *stopped) {
  int ws = 0;
  *stopped = false;
  if (await_end(pid, now_ms() + scaled_wait_ms(seconds * 1000L), &ws)) return ws;
  *stopped = true;
  kill(pid, SIGTERM);
  if (!await_end(pid, now_ms() + scaled_wait_ms(1000), &ws)) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
  }
  return -1;
}

bool write_bounded(int fd, const char *buf, size_t len, int seconds) {
  NoSigpipe guard;
  long long deadline = now_ms() + scaled_wait_ms(seconds * 1000L);
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n > 0) {
      buf += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    long long left = deadline - now_ms();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left > 1000 ? 1000 : left)) < 0 && errno != EINTR)
      return false;
  }
  return true;
}

}  // namespace ornix_mail

using ornix_mail::write_bounded;

namespace {

int timeout() { return SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT; }

// The message with every line ending in one LF, as qmail-queue stores it.
bool send_message(FILE *fp, int mfd) {
  std::string out;
  char line[NOTIFY_LINE_MAX + 1];
  bool open = false;
  while (fgets(line, sizeof line, fp) != nullptr) {
    size_t raw = strlen(line);
    bool tail = open && (strcmp(line, "\n") == 0 || strcmp(line, "\r\n") == 0);
    open = raw > 0 && line[raw - 1] != '\n';
    if (tail) continue;
    while (raw > 0 && (line[raw - 1] == '\n' || line[raw - 1] == '\r')) raw--;
    out.append(line, raw);
    out += '\n';
    if (out.size() >= 65536) {
      if (!write_bounded(mfd, out.data(), out.size(), timeout())) goto failed;
      out.clear();
    }
  }
  if (ferror(fp)) {
    // a cut message must not be queued as if it were whole
    MsgLog(OrnixLog, 64, "qmail message read error (%s)\n", strerror(errno));
    return false;
  }
  if (write_bounded(mfd, out.data(), out.size(), timeout())) return true;
failed:
  MsgLog(OrnixLog, 64, "qmail mail message write error! (erron=%s)\n", strerror(errno));
  return false;
}

bool put(int efd, const char *data, size_t len, const char *step) {
  if (write_bounded(efd, data, len, timeout())) return true;
  MsgLog(OrnixLog, 8192, "[DEBUG] qmail write error.(%s)\n", step);
  MsgLog(OrnixLog, 64, "qmail envelope write error (%s)\n", strerror(errno));
  return false;
}

bool address_fits(const char *addr) {
  if (strlen(addr) <= QMAIL_ADDRESS_MAX) return true;
  MsgLog(OrnixLog, 8192, "[DEBUG] address size error. Too long.\n");
  MsgLog(OrnixLog, 64, "qmail address of %zu bytes refused (at most %d)\n", strlen(addr),
         QMAIL_ADDRESS_MAX);
  return false;
}

bool send_envelope(const char *from, char **to, int efd) {
  // every address is checked before the first byte: a half envelope is no use
  if (!address_fits(from)) return false;
  for (char **r = to; r != nullptr && *r != nullptr; r++)
    if (!address_fits(*r)) return false;
  if (!put(efd, "F", 1, "F") || !put(efd, from, strlen(from), "from_addr") ||
      !put(efd, "", 1, "F0"))
    return false;
  MsgLog(OrnixLog, 8192, "[DEBUG] qmail: F%s\n", from);
  for (char **r = to; r != nullptr && *r != nullptr; r++) {
    if (!put(efd, "T", 1, "T") || !put(efd, *r, strlen(*r), "to_addr") || !put(efd, "", 1, "T0"))
      return false;
    MsgLog(OrnixLog, 8192, "[DEBUG] qmail: T%s\n", *r);
  }
  return put(efd, "", 1, "0");
}

}  // namespace

int qmail(const char *from, char **to, FILE *fp, int mfd, int efd) {
  MsgLog(OrnixLog, 8192, "[DEBUG] Deliver QMAIL:\n");
  if (from == nullptr) from = "";
  // qmail-queue reads the whole message, then the envelope: the message
  // descriptor is closed before the first envelope byte.
  bool ok = fp != nullptr && send_message(fp, mfd);
  close(mfd);
  if (!ok) {
    close(efd);
    return -1;
  }
  MsgLog(OrnixLog, 8192, "[DEBUG] message sent.\n");
  ok = send_envelope(from, to, efd);
  close(efd);
  if (!ok) return -1;
  MsgLog(OrnixLog, 8192, "[DEBUG] Envelope sent.\n");
  return 0;
}
