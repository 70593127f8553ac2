// SendMail: settles the server, the EHLO argument and the authentication from
// section "general", connects over IPv4 and runs the submission dialogue.
#include "protocol.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "config.h"
#include "log.h"
#include "protocol_internal.h"
#include "stop_signal.h"
#include "wait_scale.h"


namespace {

int auth_type_of(const char *value) {
  if (strcasecmp(value, "none") == 0) return SMTP_AUTH_NONE;
  if (strncasecmp(value, "plain", 5) == 0) return SMTP_AUTH_PLAIN;
  if (strncasecmp(value, "login", 5) == 0) return SMTP_AUTH_LOGIN;
  if (strncasecmp(value, "cram-md5", 8) == 0) return SMTP_AUTH_CRAM_MD5;
  MsgLog(OrnixLog, 1, "SMTP auth type not supported.(%s)\n", value);
  return SMTP_AUTH_NONE;
}

// The EHLO argument: the domain of NotifyFromAddress, else the whole
// SupervisorAddress; null when neither is set.
const char *ehlo_domain() {
  const char *notify = config_text("general", "NotifyFromAddress");
  if (notify != nullptr && notify[0] != '\0') {
    const char *at = strchr(notify, '@');
    return at != nullptr ? at + 1 : notify;
  }
  return config_text("general", "SupervisorAddress");
}

}  // namespace

namespace ornix_smtp {

bool resolve(const char *server, in_addr *addr) {
  if (inet_pton(AF_INET, server, addr) == 1) return true;
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo *res = nullptr;
  if (getaddrinfo(server, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  *addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

// connect with the dialogue's time-out: 0, or -1 with errno set.
int connect_bounded(int soc, const sockaddr_in &sa) {
  int flags = fcntl(soc, F_GETFL);
  if (flags < 0 || fcntl(soc, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  int rc = connect(soc, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
  if (rc < 0 && errno == EINPROGRESS) {
    int seconds = SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT;
    pollfd p{soc, POLLOUT, 0};
    // In slices, so that a stop request ends the wait at once.
    long left = scaled_wait_ms(seconds * 1000L);
    int r = 0;
    while (left > 0 && !stop_requested()) {
      int slice = left < kStopPollMs ? static_cast<int>(left) : kStopPollMs;
      r = poll(&p, 1, slice);
      if (r > 0 || (r < 0 && errno != EINTR)) break;
      r = 0;
      left -= slice;
    }
    if (r == 0 && stop_requested()) {
      errno = EINTR;
      return -1;
    }
    if (r == 0) {
      MsgLog(OrnixLog, 1, "SMTP server time-out: no connection within %d seconds\n", seconds);
      errno = ETIMEDOUT;
      return -1;
    }
    if (r < 0) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(soc, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return -1;
    if (err != 0) {
      errno = err;
      return -1;
    }
    rc = 0;
  }
  if (rc < 0) return -1;
  if (fcntl(soc, F_SETFL, flags) < 0) return -1;
  // A server that stops reading must not hold a message write for ever.
  long ms = scaled_wait_ms((SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT) * 1000L);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(soc, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return 0;
}

int open_tcp(const char *host, int port, int level, const char *peer) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  bool resolved = resolve(host, &sa.sin_addr);
  int soc = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (soc < 0) {
    MsgLog(OrnixLog, level, "TCP/IP socket error\n");
    return -1;
  }
  char dotted[INET_ADDRSTRLEN] = "";
  if (resolved) inet_ntop(AF_INET, &sa.sin_addr, dotted, sizeof dotted);
  if (!resolved || port < 1 || port > 65535 || connect_bounded(soc, sa) != 0) {
    MsgLog(OrnixLog, level, "%s connection error.(host=%s,port=%d)\n", peer,
           resolved ? dotted : host, port);
    if (resolved && port >= 1 && port <= 65535)
      MsgLog(OrnixLog, 64, "SMTP connect to %s:%d failed (%s)\n", dotted, port, strerror(errno));
    close(soc);
    return -1;
  }
  return soc;
}

}  // namespace ornix_smtp

using ornix_smtp::connect_bounded;
using ornix_smtp::resolve;

int SendMail(const char *from, char **to, FILE *fp) {
  MsgLog(OrnixLog, 2, "Send email via SMTP\n");
  if (fp == nullptr) return -1;

  const char *server = config_text("general", "SMTPServer");
  int port = config_num("general", "SMTPPort");
  const char *domain = ehlo_domain();
  MsgLog(OrnixLog, 8192, "[DEBUG] D=%s,H=%s,p=%d\n",
         domain != nullptr && domain[0] != '\0' ? domain : "none", server, port);

  const char *auth = config_text("general", "SMTPAuth");
  int type = auth_type_of(auth);
  const char *user = "none";
  const char *pass = "none";
  if (type != SMTP_AUTH_NONE) {
    user = config_text("general", "SMTPAuthUser");
    pass = config_text("general", "SMTPAuthPassword");
    if (user[0] == '\0' || pass[0] == '\0') {
      MsgLog(OrnixLog, 1, "SMTP auth user / pass not set.(user=%s)\n", user);
      type = SMTP_AUTH_NONE;
    }
  }
  MsgLog(OrnixLog, 8192, "[DEBUG] SMTP auth : type=%s, user=%s, pass=%s\n", auth, user,
         type != SMTP_AUTH_NONE ? ornix_smtp::kSecretMask : pass);

  int soc = ornix_smtp::open_tcp(server, port, 1, "SMTP mail server");
  if (soc < 0) return -1;
  int rc = smtp_auth(from, to, fp, soc, domain, type, user, pass);
  close(soc);
  return rc;
}
