// The engine exchange: one Unix-socket connection per request to clamd.
// Every wait is bounded by the caller's time-out; writes never raise SIGPIPE,
// so an engine that hangs up early costs a failed exchange, not the program.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "clamav_api.h"
#include "clamav_internal.h"
#include "stop_signal.h"

// The engine identity of this process, read by the program that starts the
// scans and shown by the notification macros.
AVEAPI_INFO AVE_info;

namespace {

long long monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll for one descriptor, at most timeout seconds, in slices short enough
// that a stop request ends the wait at once: 1 ready, 0 time-out, -1 error
// (EINTR after a stop request).
int poll_one(int fd, short events, unsigned int timeout) {
  const long long deadline = monotonic_ms() + static_cast<long long>(timeout) * 1000;
  for (;;) {
    if (stop_requested()) {
      errno = EINTR;
      return -1;
    }
    long long left = deadline - monotonic_ms();
    if (left <= 0) return 0;
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, left < kStopPollMs ? static_cast<int>(left) : kStopPollMs);
    if (n > 0) return 1;
    if (n < 0 && errno != EINTR) return -1;
  }
}

// Owns the connection: shut down and closed on every path out.
class Conn {
 public:
  Conn() = default;
  ~Conn() {
    if (fd_ >= 0) clamd_close(fd_);
  }
  Conn(const Conn &) = delete;
  Conn &operator=(const Conn &) = delete;
  int fd() const { return fd_; }
  void set(int fd) { fd_ = fd; }

 private:
  int fd_ = -1;
};

// Writes all of buf: a stream socket may take it in pieces. Returns len, or
// the first negative result of timed_write (-1 failure, -2 time-out), or the
// short count when a write took nothing.
ssize_t timed_send_all(int fd, const void *buf, size_t len, unsigned int timeout) {
  const char *p = static_cast<const char *>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = timed_write(fd, p + done, len - done, timeout);
    if (n < 0) return n;
    if (n == 0) return static_cast<ssize_t>(done);
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Connect without blocking beyond the time-out. 0, -1 failure, -2 time-out.
int connect_bounded(int fd, const sockaddr_un &addr, unsigned int timeout) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  int rc = 0;
  const sockaddr *sa = reinterpret_cast<const sockaddr *>(&addr);
  if (connect(fd, sa, sizeof addr) != 0) {
    if (errno == EAGAIN) {
      // A full listen backlog on a Unix socket: retry until the time runs out.
      struct timespec start;
      clock_gettime(CLOCK_MONOTONIC, &start);
      rc = -2;
      for (;;) {
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        if (stop_requested()) {
          rc = -1;
          break;
        }
        if (connect(fd, sa, sizeof addr) == 0 || errno == EISCONN) {
          rc = 0;
          break;
        }
        if (errno != EAGAIN) {
          rc = -1;
          break;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= static_cast<time_t>(timeout)) break;
      }
    } else if (errno == EINPROGRESS) {
      int n = poll_one(fd, POLLIN | POLLOUT, timeout);
      if (n < 0) {
        rc = -1;
      } else if (n <= 0) {
        rc = -2;
      } else {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) rc = -1;
      }
    } else {
      rc = -1;
    }
  }
  if (fcntl(fd, F_SETFL, flags) < 0 && rc == 0) rc = -1;
  return rc;
}

// "FDSCAN %d": the descriptor number after "FDSCAN ", 1..65535, or -1.
int fdscan_number(const char *command) {
  if (std::strlen(command) < 8 || command[6] != ' ') return -1;
  const char *p = command + 7;
  long v = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    v = v * 10 + (*p - '0');
    if (v > 65535) return -1;
  }
  return v >= 1 ? static_cast<int>(v) : -1;
}

// The engine stopped taking the stream (it may have said why).
constexpr int kStreamRefused = -4;

int stream_descriptor(int sock, int fd, unsigned int timeout) {
  static const char kStart[] = CLAMD_INSTREAM;
  ssize_t w = timed_write(sock, kStart, sizeof kStart - 1, timeout);
  if (w < 0) return static_cast<int>(w);
  if (w < static_cast<ssize_t>(sizeof kStart - 1)) {
    // The rest of the line may still go; anything else is a broken exchange.
    ssize_t rest = timed_send_all(sock, kStart + w, sizeof kStart - 1 - w, timeout);
    if (rest != static_cast<ssize_t>(sizeof kStart - 1 - w)) return -1;
  }
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[CLAMD_STREAM_BLOCK]);
  if (!block) return -1;
  for (;;) {
    ssize_t n = read(fd, block.get(), CLAMD_STREAM_BLOCK);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;  // the descriptor failed mid-stream
    if (n == 0) break;
    uint32_t len = htonl(static_cast<uint32_t>(n));
    if (timed_send_all(sock, &len, 4, timeout) != 4) return kStreamRefused;
    if (timed_send_all(sock, block.get(), static_cast<size_t>(n), timeout) != n) return kStreamRefused;
  }
  static const unsigned char kEnd[4] = {0, 0, 0, 0};
  if (timed_send_all(sock, kEnd, 4, timeout) != 4) return kStreamRefused;
  return 0;
}

// Reads the reply line: up to a newline, the peer's close or a full buffer.
// The first wait decides the outcome; later ones only end the line early.
int read_reply(int sock, char *respons, unsigned int timeout) {
  std::memset(respons, 0, CLAMD_REPLY_SIZE);
  size_t got = 0;
  while (got < CLAMD_REPLY_SIZE - 1) {
    ssize_t n = timed_read(sock, respons + got, CLAMD_REPLY_SIZE - 1 - got, timeout);
    if (n < 0) {
      if (got == 0) return static_cast<int>(n);
      break;
    }
    if (n == 0) break;
    bool line_done = std::memchr(respons + got, '\n', static_cast<size_t>(n)) != nullptr;
    got += static_cast<size_t>(n);
    if (line_done) break;
  }
  respons[got] = '\0';
  // A peer that hangs up without a word has failed the exchange.
  return got == 0 ? -1 : 0;
}

}  // namespace

bool clamd_reply_ends_in_error(const char *reply) {
  size_t n = std::strcspn(reply, "\n");
  return n >= 6 && std::memcmp(reply + n - 6, " ERROR", 6) == 0;
}

ssize_t timed_read(int fd, void *buf, size_t len, unsigned int timeout) {
  int n = poll_one(fd, POLLIN, timeout);
  if (n < 0) return -1;
  if (n == 0) return -2;
  std::memset(buf, 0, len);
  return read(fd, buf, len);
}

ssize_t timed_write(int fd, const void *buf, size_t len, unsigned int timeout) {
  int n = poll_one(fd, POLLOUT, timeout);
  if (n < 0) return -1;
  if (n == 0) return -2;
  ssize_t w = send(fd, buf, len, MSG_NOSIGNAL);
  if (w < 0 && errno == ENOTSOCK) w = write(fd, buf, len);
  return w;
}

int clamd_close(int sock) {
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return 0;
}

int clamd_socket_address(const char *socket_file, sockaddr_un *addr) {
  if (socket_file == nullptr) return -1;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  size_t plen = std::strlen(socket_file);
  // sun_path must stay terminated; a longer path would name another socket.
  if (plen == 0 || plen > CLAMD_SOCKET_PATH_MAX) return -1;
  std::memcpy(addr->sun_path, socket_file, plen);
  return 0;
}

ssize_t clamd_sendmsg_fildes(int sock, int fd) {
  // The command and the descriptor travel in one message, with one byte
  // after the line: clamd takes the descriptor only once data follows the
  // command, and a relay that drops the descriptor still passes the byte,
  // so the engine answers that it received none instead of waiting.
  static const char kLine[] = "nFILDES\n";
  char data[sizeof kLine] = {};
  std::memcpy(data, kLine, sizeof kLine - 1);
  iovec iov = {data, sizeof data};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr *c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ssize_t w = sendmsg(sock, &msg, MSG_NOSIGNAL);
  if (w == static_cast<ssize_t>(sizeof data)) return w;
  if (w >= 0) errno = EIO;  // part of the message: the exchange is broken
  return -1;
}

namespace {

// Connects conn to the engine socket. 0, -1 failure, -2 time-out.
int open_engine(const char *socket_file, unsigned int timeout, Conn &conn) {
  sockaddr_un addr;
  if (clamd_socket_address(socket_file, &addr) != 0) return -1;
  conn.set(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (conn.fd() < 0) return -1;
  return connect_bounded(conn.fd(), addr, timeout);
}

}  // namespace

int clamd_send_command(const char *command, char *respons, const char *socket_file,
                       unsigned int timeout) {
  if (command == nullptr || respons == nullptr || socket_file == nullptr) return -1;
  Conn conn;
  int rc = open_engine(socket_file, timeout, conn);
  if (rc != 0) return rc;

  if (std::strncmp(command, "FDSCAN", 6) == 0) {
    int fd = fdscan_number(command);
    if (fd < 0) return -1;
    rc = stream_descriptor(conn.fd(), fd, timeout);
    if (rc == kStreamRefused) {
      // clamd answers a stream over its StreamMaxLength with an ERROR line
      // and hangs up; that line tells the caller more than a broken pipe.
      if (read_reply(conn.fd(), respons, 1) == 0 && clamd_reply_ends_in_error(respons)) return 0;
      return -1;
    }
    if (rc != 0) return rc;
  } else {
    size_t clen = std::strlen(command);
    ssize_t w = timed_send_all(conn.fd(), command, clen, timeout);
    if (w == -1) return -3;
    if (w == -2) return -2;
    if (w != static_cast<ssize_t>(clen)) return -1;
  }
  return read_reply(conn.fd(), respons, timeout);
}

int clamd_send_fildes(int fd, char *respons, const char *socket_file, unsigned int timeout) {
  if (respons == nullptr || fd < 0) return -1;
  Conn conn;
  int rc = open_engine(socket_file, timeout, conn);
  if (rc != 0) return rc;
  int n = poll_one(conn.fd(), POLLOUT, timeout);
  if (n < 0) return -3;
  if (n == 0) return -2;
  if (clamd_sendmsg_fildes(conn.fd(), fd) < 0) return -1;
  return read_reply(conn.fd(), respons, timeout);
}
