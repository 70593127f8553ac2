// SMTP reply reader and command writer.
//
// A reply is read line by line until its last line, because TCP may split a
// reply anywhere and servers commonly write a multi-line reply one line per
// write: judging a reply by one read would take the tail of an EHLO reply as
// the answer to the next command. No byte past the reply's last line is
// consumed (the socket is peeked first), so each reply stays with its command.
// Every wait is bounded by SmtpTimeout.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "log.h"
#include "protocol.h"
#include "protocol_internal.h"
#include "stop_signal.h"
#include "wait_scale.h"

// Shared by the submission dialogue and this reader; set from the configuration.
int SmtpTimeout = SMTP_DEFAULT_TIMEOUT;

namespace ornix_smtp {
namespace {

enum LineResult { LINE_OK, LINE_TOO_LONG, LINE_EOF, LINE_ERROR, LINE_TIMEOUT };

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is readable or the deadline passes: 1 readable, 0 time-out,
// -1 error (EINTR after a stop request).
int wait_readable(int fd, long long deadline) {
  for (;;) {
    if (stop_requested()) {
      errno = EINTR;
      return -1;
    }
    long long left = deadline - now_ms();
    if (left <= 0) return 0;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, left > kStopPollMs ? kStopPollMs : static_cast<int>(left));
    if (r > 0) return 1;
    if (r == 0) continue;  // re-check the clock
    if (errno != EINTR) return -1;
  }
}

// Shows up to cap bytes already queued on the socket without taking them.
ssize_t peek(int fd, char *buf, size_t cap) {
  for (;;) {
    ssize_t n = recv(fd, buf, cap, MSG_PEEK);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Takes exactly n bytes that peek() has shown to be queued.
bool consume(int fd, size_t n) {
  char sink[512];
  while (n > 0) {
    ssize_t r = recv(fd, sink, n < sizeof sink ? n : sizeof sink, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = ECONNRESET;  // what was shown is gone: the peer reset
    if (r <= 0) return false;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Reads one line without its line end into line (cap bytes with the NUL).
// CR LF, LF and a lone CR each end a line. A line that does not fit is taken
// up to its end all the same, keeps its first cap-1 bytes and gives
// LINE_TOO_LONG. Data cut off by the end of stream count as a last line.
LineResult read_line(int fd, long long deadline, char *line, size_t cap, size_t *len) {
  size_t n = 0;
  bool too_long = false;
  char buf[1024];
  for (;;) {
    int w = wait_readable(fd, deadline);
    if (w == 0) return LINE_TIMEOUT;
    if (w < 0) return LINE_ERROR;
    ssize_t got = peek(fd, buf, sizeof buf);
    if (got < 0) return LINE_ERROR;
    if (got == 0 && n == 0 && !too_long) return LINE_EOF;
    size_t avail = static_cast<size_t>(got);
    size_t end = 0;
    while (end < avail && buf[end] != '\n' && buf[end] != '\r') end++;
    for (size_t i = 0; i < end; i++) {
      if (n + 1 < cap)
        line[n++] = buf[i];
      else
        too_long = true;
    }
    bool found = end < avail;
    size_t take = found ? end + 1 : avail;
    if (found && buf[end] == '\r' && take < avail && buf[take] == '\n') take++;
    if (!consume(fd, take)) return LINE_ERROR;
    if (!found && got > 0) continue;
    if (found && buf[end] == '\r' && take == avail) {
      // The CR was the last byte queued; its LF may have arrived since.
      // Take it now, so that the next reply does not begin with it.
      char c;
      if (recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && c == '\n') consume(fd, 1);
    }
    line[n] = '\0';
    *len = n;
    return too_long ? LINE_TOO_LONG : LINE_OK;
  }
}

int timeout_seconds() { return SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT; }

void log_failure(Link &link, LineResult r) {
  link.dead = true;
  if (r == LINE_TIMEOUT)
    MsgLog(OrnixLog, 1, "SMTP server time-out: no reply within %d seconds\n", timeout_seconds());
  else if (r == LINE_EOF)
    MsgLog(OrnixLog, 64, "SMTP server closed the connection\n");
  else
    MsgLog(OrnixLog, 64, "SMTP reply read error (%s)\n", strerror(errno));
}

bool is_last_line(const char *line, size_t len) {
  // "250-text" continues a reply; "250 text" and a bare "250" end it.
  return len > 0 && (len < 4 || line[3] != '-');
}

// Reads the remaining lines of a reply whose first line was not its last.
// Returns false when the reply did not end (time-out, closed, error).
bool read_rest(Link &link, long long deadline, char *line, size_t cap) {
  for (;;) {
    size_t len = 0;
    LineResult r = read_line(link.fd, deadline, line, cap, &len);
    if (r >= LINE_EOF) {
      log_failure(link, r);
      return false;
    }
    if (r == LINE_TOO_LONG)
      MsgLog(OrnixLog, 1, "SMTP reply line longer than %zu bytes refused\n", cap - 1);
    if (len > 0) MsgLog(OrnixLog, 16384, "[DEBUG] F.SMTP[R]: %s\n", line);
    if (is_last_line(line, len)) return r == LINE_OK;
  }
}

long long reply_deadline() {
  return now_ms() + scaled_wait_ms(timeout_seconds() * 1000L);
}

// Reads the first line of a reply into `line`: false when there is none (a
// dead link, or the failure is logged). An over-long line is logged and
// reported as LINE_TOO_LONG in *r.
bool first_line(Link &link, long long deadline, char *line, size_t cap, size_t *len,
                LineResult *r) {
  if (link.dead) return false;
  *r = read_line(link.fd, deadline, line, cap, len);
  if (*r >= LINE_EOF) {
    log_failure(link, *r);
    return false;
  }
  if (*r == LINE_TOO_LONG)
    MsgLog(OrnixLog, 1, "SMTP reply line longer than %zu bytes refused\n", cap - 1);
  return true;
}

}  // namespace

void read_reply(Link &link, char *ret) {
  ret[0] = '\0';
  long long deadline = reply_deadline();
  char line[SMTP_READ_SIZE];
  size_t len = 0;
  LineResult r;
  if (!first_line(link, deadline, line, sizeof line, &len, &r)) return;
  bool sound = r == LINE_OK;
  // A reply that begins with an empty line has no code; its other lines are
  // still read so that the next command gets its own reply.
  char code[SMTP_CODE_SIZE] = "";
  if (len > 0) {
    MsgLog(OrnixLog, 16384, "[DEBUG] F.SMTP[R]: %s\n", line);
    size_t c = len < 3 ? len : 3;
    memcpy(code, line, c);
    code[c] = '\0';
  }
  if (!is_last_line(line, len) && !read_rest(link, deadline, line, sizeof line)) sound = false;
  if (sound) memcpy(ret, code, sizeof code);
}

void read_reply2(Link &link, char *ret, char *msg) {
  ret[0] = '\0';
  msg[0] = '\0';
  long long deadline = reply_deadline();
  char line[SMTP_READ_SIZE];
  size_t len = 0;
  LineResult r;
  if (!first_line(link, deadline, line, sizeof line, &len, &r)) return;
  bool sound = r == LINE_OK;
  char code[SMTP_CODE_SIZE] = "";
  char text[SMTP_MSG_SIZE] = "";
  size_t nc = 0, nt = 0;
  bool code_open = true;
  if (sound && len >= 3) {
    for (size_t i = 0; i < len; i++) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (i < 3 && code_open && isdigit(c)) {
        code[nc++] = static_cast<char>(c);
      } else if (c == ' ') {
        code_open = false;
      } else if (nt + 1 < sizeof text) {
        text[nt++] = static_cast<char>(c);
      } else {
        MsgLog(OrnixLog, 1, "SMTP reply text longer than %zu characters refused\n",
               sizeof text - 1);
        sound = false;
        break;
      }
    }
    code[nc] = '\0';
    text[nt] = '\0';
    if (sound) MsgLog(OrnixLog, 16384, "[DEBUG] F.SMTP[R]: %s %s\n", code, text);
  }
  if (!is_last_line(line, len) && !read_rest(link, deadline, line, sizeof line)) sound = false;
  if (sound) {
    memcpy(ret, code, sizeof code);
    memcpy(msg, text, sizeof text);
  }
}

bool send_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR && !stop_requested()) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void send_command(Link &link, const char *str, const char *shown) {
  MsgLog(OrnixLog, 16384, "[DEBUG] F.SMTP[S]: %s", shown != nullptr ? shown : str);
  if (!send_all(link.wfd(), str, strlen(str))) {
    MsgLog(OrnixLog, 64, "SMTP command write error (%s)\n", strerror(errno));
    link.dead = true;
  }
}

}  // namespace ornix_smtp

void get_smtp_data(int fd, char *ret) {
  ornix_smtp::Link link{fd};
  ornix_smtp::read_reply(link, ret);
}

void get_smtp_data2(int fd, char *ret, char *msg) {
  ornix_smtp::Link link{fd};
  ornix_smtp::read_reply2(link, ret, msg);
}

void put_smtp_data(int fd, const char *str) {
  MsgLog(OrnixLog, 16384, "[DEBUG] F.SMTP[S]: %s", str);
  ornix_smtp::send_all(fd, str, strlen(str));
}

void put_smtp_data2(int fd, const char *str, size_t len) {
  ornix_smtp::send_all(fd, str, len);
}
