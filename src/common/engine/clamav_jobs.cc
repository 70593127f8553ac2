// Engine requests in flight: each request is a small state machine over a
// non-blocking connection (connect, send the command or the stream, read the
// reply line), and one poll drives them all. The outcome of each exchange is
// the one clamd_send_command / clamd_send_fildes would report for it (0, -1
// failure, -2 time-out, -3 command not written) and becomes a result through
// the same mapping and reply parser as a scan of the one-at-a-time client.
#include "clamav_jobs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "clamav_internal.h"
#include "ornix_lib.h"
#include "stop_signal.h"

namespace {

constexpr long long kNever = LLONG_MAX;
constexpr long long kConnectRetryMs = 10;   // a full listen backlog: try again soon
constexpr long long kRefusalWaitMs = 1000;  // for the line of an engine that cut a stream

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

enum class Phase { kFree, kConnectRetry, kConnecting, kFildes, kSending, kReading, kDone };
enum class Form { kLine, kFildes, kStream };
// What the bytes being sent are: their failures map differently.
enum class Out { kCommand, kStreamStart, kBlock };

struct Request {
  Request() = default;
  Phase phase = Phase::kFree;
  Form form = Form::kLine;
  Out out_kind = Out::kCommand;
  UniqueFd sock;
  int fd = -1;          // the scanned descriptor (descriptor and stream forms)
  UniqueFd own_fd;      // a path streamed: the file opened here
  bool file_stream = false;  // a stream standing in for a file: ERROR names it
  bool stream_end = false;   // the zero length is queued
  bool refused = false;      // the engine cut the stream: reading its reason
  std::string path;          // the path sent in "SCAN"
  std::vector<unsigned char> out;
  size_t sent = 0;
  long long timeout_ms = 0, deadline = kNever, connect_until = kNever;
  char reply[CLAMD_REPLY_SIZE];
  size_t got = 0;
  int value = -1;            // clamd_scan's return value once done
  AVEAPI_RESULTS results{};
};

}  // namespace

struct clamd_jobs {
  std::string socket_file;
  std::vector<Request> slots;
  int done = 0;   // complete and not collected
};

namespace {

void complete(clamd_jobs *jobs, Request &r, int value) {
  r.sock.reset();
  r.own_fd.reset();
  std::vector<unsigned char>().swap(r.out);
  r.value = value;
  r.phase = Phase::kDone;
  jobs->done++;
}

void connect_engine(clamd_jobs *jobs, Request &r);

// The exchange ended with rc (0 with the reply read, or -1, -2, -3).
void exchange_done(clamd_jobs *jobs, Request &r, int rc) {
  if (r.refused) rc = rc == 0 && clamd_reply_ends_in_error(r.reply) ? 0 : -1;
  if (r.form == Form::kLine) {
    complete(jobs, r, clamd_exchange_result(rc, r.reply, r.path.c_str(), &r.results));
    return;
  }
  if (r.form == Form::kStream) {
    int v = clamd_exchange_result(rc, r.reply, nullptr, &r.results);
    complete(jobs, r, r.file_stream ? clamd_stream_for_file(v, &r.results) : v);
    return;
  }
  if (rc < 0) {
    complete(jobs, r, clamd_exchange_result(rc, r.reply, nullptr, &r.results));
    return;
  }
  int v = clamd_parse_scan_reply(r.reply, nullptr, &r.results);
  if (!clamd_fildes_refused(v, &r.results)) {
    complete(jobs, r, v);
    return;
  }
  if (clamd_fildes_restart(r.fd, &r.results) != 0) {
    complete(jobs, r, -1);
    return;
  }
  r.sock.reset();
  r.form = Form::kStream;
  r.file_stream = true;
  connect_engine(jobs, r);
}

void queue_bytes(Request &r, Out kind, const void *data, size_t len) {
  r.out_kind = kind;
  r.out.assign(static_cast<const unsigned char *>(data),
               static_cast<const unsigned char *>(data) + len);
  r.sent = 0;
}

void start_reading(Request &r, long long now) {
  r.phase = Phase::kReading;
  std::memset(r.reply, 0, sizeof r.reply);
  r.got = 0;
  r.deadline = now + (r.refused ? kRefusalWaitMs : r.timeout_ms);
}

// Connected: the request's first bytes.
void connected(Request &r, long long now) {
  r.deadline = now + r.timeout_ms;
  r.refused = false;
  r.stream_end = false;
  if (r.form == Form::kFildes) {
    r.phase = Phase::kFildes;
    return;
  }
  r.phase = Phase::kSending;
  if (r.form == Form::kStream) {
    queue_bytes(r, Out::kStreamStart, CLAMD_INSTREAM, sizeof CLAMD_INSTREAM - 1);
  } else {
    std::string line = "SCAN " + r.path + "\n";
    queue_bytes(r, Out::kCommand, line.data(), line.size());
  }
}

// A write that failed (timed_out: its wait ran out) ends the exchange as the
// one-at-a-time client's would: a command as -3 or -2, the stream's first
// line as -1 or -2, a block by asking the engine why it stopped taking them.
void write_failed(clamd_jobs *jobs, Request &r, bool timed_out, long long now) {
  if (r.out_kind == Out::kBlock) {
    r.refused = true;
    start_reading(r, now);
    return;
  }
  if (timed_out) return exchange_done(jobs, r, -2);
  exchange_done(jobs, r, r.out_kind == Out::kCommand ? -3 : -1);
}

// The next block of the stream, or the zero length after the last.
bool next_block(clamd_jobs *jobs, Request &r) {
  r.out.resize(4 + CLAMD_STREAM_BLOCK);
  ssize_t n;
  do {
    n = read(r.fd, r.out.data() + 4, CLAMD_STREAM_BLOCK);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {  // the descriptor failed mid-stream
    exchange_done(jobs, r, -1);
    return false;
  }
  uint32_t len = htonl(static_cast<uint32_t>(n));
  std::memcpy(r.out.data(), &len, 4);
  r.out.resize(4 + static_cast<size_t>(n));
  r.out_kind = Out::kBlock;
  r.sent = 0;
  r.stream_end = n == 0;
  return true;
}

void step_send(clamd_jobs *jobs, Request &r, long long now) {
  for (;;) {
    while (r.sent < r.out.size()) {
      ssize_t n = send(r.sock.get(), r.out.data() + r.sent, r.out.size() - r.sent, MSG_NOSIGNAL);
      if (n > 0) {
        r.sent += static_cast<size_t>(n);
        r.deadline = now + r.timeout_ms;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      return write_failed(jobs, r, false, now);
    }
    if (r.out_kind == Out::kCommand || r.stream_end) {
      std::vector<unsigned char>().swap(r.out);
      return start_reading(r, now);
    }
    if (!next_block(jobs, r)) return;
  }
}

void step_fildes(clamd_jobs *jobs, Request &r, long long now) {
  if (clamd_sendmsg_fildes(r.sock.get(), r.fd) < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return exchange_done(jobs, r, -1);
  }
  start_reading(r, now);
}

void step_read(clamd_jobs *jobs, Request &r, long long now) {
  while (r.got < CLAMD_REPLY_SIZE - 1) {
    ssize_t n = recv(r.sock.get(), r.reply + r.got, CLAMD_REPLY_SIZE - 1 - r.got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) break;  // the peer's close, or a failed read after part of the line
    bool line_done = std::memchr(r.reply + r.got, '\n', static_cast<size_t>(n)) != nullptr;
    r.got += static_cast<size_t>(n);
    if (!r.refused) r.deadline = now + r.timeout_ms;
    if (line_done) break;
  }
  r.reply[r.got] = '\0';
  // A peer that hangs up without a word has failed the exchange.
  exchange_done(jobs, r, r.got == 0 ? -1 : 0);
}

void step_connecting(clamd_jobs *jobs, Request &r, long long now) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(r.sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
    return exchange_done(jobs, r, -1);
  connected(r, now);
}

void try_connect(clamd_jobs *jobs, Request &r, long long now);

// Moves the request on as far as it goes without waiting.
void step(clamd_jobs *jobs, Request &r, long long now) {
  switch (r.phase) {
    case Phase::kConnectRetry:
      return try_connect(jobs, r, now);
    case Phase::kConnecting:
      step_connecting(jobs, r, now);
      if (r.phase != Phase::kConnecting) return step(jobs, r, now);
      return;
    // A request just sent is not read at once: no engine answers that fast,
    // and the poll that follows says when it has.
    case Phase::kFildes:
      return step_fildes(jobs, r, now);
    case Phase::kSending:
      return step_send(jobs, r, now);
    case Phase::kReading:
      return step_read(jobs, r, now);
    default:
      return;
  }
}

void try_connect(clamd_jobs *jobs, Request &r, long long now) {
  sockaddr_un addr;
  if (clamd_socket_address(jobs->socket_file.c_str(), &addr) != 0) return exchange_done(jobs, r, -1);
  if (!r.sock.ok()) {
    r.sock.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!r.sock.ok()) return exchange_done(jobs, r, -1);
  }
  if (connect(r.sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 ||
      errno == EISCONN) {
    connected(r, now);
    return step(jobs, r, now);
  }
  if (errno == EAGAIN) {
    if (now >= r.connect_until) return exchange_done(jobs, r, -2);
    r.phase = Phase::kConnectRetry;
    r.deadline = now + kConnectRetryMs;
    return;
  }
  if (errno == EINPROGRESS) {
    r.phase = Phase::kConnecting;
    r.deadline = now + r.timeout_ms;
    return;
  }
  exchange_done(jobs, r, -1);
}

void connect_engine(clamd_jobs *jobs, Request &r) {
  long long now = now_ms();
  r.connect_until = now + r.timeout_ms;
  try_connect(jobs, r, now);
}

// A wait that ran out: the phase decides what it means.
void expire(clamd_jobs *jobs, Request &r, long long now) {
  switch (r.phase) {
    case Phase::kConnectRetry:
      return try_connect(jobs, r, now);
    case Phase::kConnecting:
    case Phase::kFildes:
      return exchange_done(jobs, r, -2);
    case Phase::kSending:
      return write_failed(jobs, r, true, now);
    case Phase::kReading:
      // The first wait decides the outcome; later ones only end the line.
      if (r.got == 0) return exchange_done(jobs, r, r.refused ? -1 : -2);
      r.reply[r.got] = '\0';
      return exchange_done(jobs, r, 0);
    default:
      return;
  }
}

// A free slot made ready for a request of form f, or -1.
int take_slot(clamd_jobs *jobs, Form f, int timeout) {
  if (jobs == nullptr) return -1;
  for (size_t i = 0; i < jobs->slots.size(); i++) {
    Request &r = jobs->slots[i];
    if (r.phase != Phase::kFree) continue;
    r = Request{};
    r.form = f;
    r.timeout_ms = static_cast<long long>(clamd_timeout_seconds(timeout)) * 1000;
    r.results.notScannedCompletely = 1;
    return static_cast<int>(i);
  }
  return -1;
}

short events_of(const Request &r) {
  switch (r.phase) {
    case Phase::kConnecting:
      return POLLIN | POLLOUT;
    case Phase::kFildes:
    case Phase::kSending:
      return POLLOUT;
    case Phase::kReading:
      return POLLIN;
    default:
      return 0;
  }
}

}  // namespace

clamd_jobs *clamd_jobs_open(const char *socket_file, int capacity) {
  if (socket_file == nullptr || capacity < 1 || capacity > CLAMD_JOBS_MAX) return nullptr;
  clamd_jobs *jobs = new (std::nothrow) clamd_jobs;
  if (jobs == nullptr) return nullptr;
  jobs->socket_file = socket_file;
  jobs->slots.resize(static_cast<size_t>(capacity));
  return jobs;
}

void clamd_jobs_close(clamd_jobs *jobs) {
  if (jobs == nullptr) return;
  clamd_jobs_cancel(jobs);
  delete jobs;
}

int clamd_jobs_scan(clamd_jobs *jobs, const char *file, int timeout, off_t max_size) {
  int id = take_slot(jobs, Form::kLine, timeout);
  if (id < 0) return -1;
  Request &r = jobs->slots[static_cast<size_t>(id)];
  if (clamd_path_precheck(file, max_size, &r.results) != 0) {
    complete(jobs, r, -1);
    return id;
  }
  if (!clamd_fits_scan_line(file)) {
    // A path the command line cannot carry is streamed from the file.
    r.own_fd.reset(open(file, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!r.own_fd.ok() || fstat(r.own_fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      r.results.error = CLAMD_FSTAT_ERROR;
      complete(jobs, r, -1);
      return id;
    }
    int flags = fcntl(r.own_fd.get(), F_GETFL);
    if (flags >= 0) fcntl(r.own_fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    r.fd = r.own_fd.get();
    r.form = Form::kStream;
    r.file_stream = true;
  } else {
    r.path = file;
  }
  connect_engine(jobs, r);
  return id;
}

int clamd_jobs_scan_fildes(clamd_jobs *jobs, int fd, int timeout, off_t max_size) {
  int id = take_slot(jobs, Form::kFildes, timeout);
  if (id < 0) return -1;
  Request &r = jobs->slots[static_cast<size_t>(id)];
  r.fd = fd;
  if (clamd_fildes_precheck(fd, max_size, &r.results) != 0) {
    complete(jobs, r, -1);
    return id;
  }
  connect_engine(jobs, r);
  return id;
}

int clamd_jobs_scan_fd(clamd_jobs *jobs, int fd, int timeout) {
  int id = take_slot(jobs, Form::kStream, timeout);
  if (id < 0) return -1;
  Request &r = jobs->slots[static_cast<size_t>(id)];
  r.fd = fd;
  connect_engine(jobs, r);
  return id;
}

int clamd_jobs_poll(clamd_jobs *jobs, int wait_ms) {
  if (jobs == nullptr) return -1;
  const long long start = now_ms();
  const long long until = wait_ms < 0 ? kNever : start + wait_ms;
  const int done_before = jobs->done;
  struct pollfd fds[CLAMD_JOBS_MAX];
  Request *owner[CLAMD_JOBS_MAX];
  for (;;) {
    if (stop_requested()) {
      errno = EINTR;
      return -1;
    }
    long long now = now_ms();
    long long next = until;
    nfds_t n = 0;
    for (Request &r : jobs->slots) {
      if (r.phase == Phase::kFree || r.phase == Phase::kDone) continue;
      if (r.deadline <= now) expire(jobs, r, now);
      if (r.phase == Phase::kFree || r.phase == Phase::kDone) continue;
      if (r.deadline < next) next = r.deadline;
      if (short ev = events_of(r)) {
        fds[n] = {r.sock.get(), ev, 0};
        owner[n++] = &r;
      }
    }
    if (jobs->done > done_before) return jobs->done;
    if (n == 0 && next == kNever) return jobs->done;  // nothing in flight
    long long wait = next - now;
    if (wait < 0) wait = 0;
    if (wait > kStopPollMs) wait = kStopPollMs;
    int ready = poll(fds, n, static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) {
      // The waits themselves failed: every request waiting fails as an
      // exchange whose wait failed would.
      for (nfds_t i = 0; i < n; i++) exchange_done(jobs, *owner[i], -1);
    }
    now = now_ms();
    for (nfds_t i = 0; ready > 0 && i < n; i++)
      if (fds[i].revents != 0) step(jobs, *owner[i], now);
    if (jobs->done > done_before || now >= until) return jobs->done;
  }
}

int clamd_jobs_done(const clamd_jobs *jobs, int id) {
  if (jobs == nullptr || id < 0 || static_cast<size_t>(id) >= jobs->slots.size()) return -1;
  const Request &r = jobs->slots[static_cast<size_t>(id)];
  if (r.phase == Phase::kFree) return -1;
  return r.phase == Phase::kDone ? 1 : 0;
}

int clamd_jobs_active(const clamd_jobs *jobs) {
  if (jobs == nullptr) return 0;
  int n = 0;
  for (const Request &r : jobs->slots) n += r.phase != Phase::kFree;
  return n;
}

int clamd_jobs_collect(clamd_jobs *jobs, int id, AVEAPI_RESULTS *results) {
  if (results == nullptr || clamd_jobs_done(jobs, id) < 0) return -1;
  Request &r = jobs->slots[static_cast<size_t>(id)];
  while (r.phase != Phase::kDone) {
    if (clamd_jobs_poll(jobs, -1) < 0 && r.phase != Phase::kDone) {
      r.refused = false;
      exchange_done(jobs, r, -1);  // a stop request ends the wait
    }
  }
  *results = r.results;
  r.results.alertList = nullptr;
  int value = r.value;
  r = Request{};
  jobs->done--;
  return value;
}

void clamd_jobs_cancel(clamd_jobs *jobs) {
  if (jobs == nullptr) return;
  for (Request &r : jobs->slots) {
    clamd_cleanup_results(&r.results);
    r = Request{};
  }
  jobs->done = 0;
}
