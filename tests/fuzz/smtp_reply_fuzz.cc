// The SMTP reply readers over arbitrary server bytes: the first byte picks the
// reader (code only, or code and challenge text), the rest is what the server
// sent before closing. Every reply in the data is read until the stream ends.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = false;
  if (!ready) {
    OrnixLog = fopen("/dev/null", "a");
    LogLevel = 1 | 64 | 16384;
    SmtpTimeout = 1;
    ready = true;
  }
  if (size == 0) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  bool challenge = (data[0] & 1) != 0;
  // What does not fit the socket's buffer is simply not sent.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  ssize_t sent = size > 1 ? write(fds[1], data + 1, size - 1) : 0;
  close(fds[1]);
  size_t rounds = (sent > 0 ? static_cast<size_t>(sent) : 0) + 2;
  for (size_t i = 0; i < rounds; i++) {
    char ret[SMTP_CODE_SIZE];
    char msg[SMTP_MSG_SIZE];
    memset(ret, 'r', sizeof ret);
    memset(msg, 'm', sizeof msg);
    if (challenge) {
      get_smtp_data2(fds[0], ret, msg);
      if (memchr(msg, '\0', sizeof msg) == nullptr) __builtin_trap();
    } else {
      get_smtp_data(fds[0], ret);
    }
    if (memchr(ret, '\0', sizeof ret) == nullptr) __builtin_trap();
    char probe;
    if (recv(fds[0], &probe, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) break;
  }
  close(fds[0]);
  return 0;
}
