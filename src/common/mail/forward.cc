// Delivery of a scanned message: DeliverMail picks the recipients and writes
// their results back; ForwardMail hands the message to the configured agent
// (an SMTP or LMTP server over TCP, a program speaking SMTP or LMTP on its
// standard input and output, or qmail-queue); and the descriptor helpers.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "mail.h"
#include "mail_internal.h"
#include "protocol.h"
#include "protocol_internal.h"
#include "wait_scale.h"

using namespace ornix_mail;

int fd_copy(int to, int from) {
  if (to == from) return 0;
  if (fcntl(from, F_GETFL) == -1) return -1;
  close(to);
  // F_DUPFD gives the lowest free number from `to`, which is `to` itself now
  int fd = fcntl(from, F_DUPFD, to);
  if (fd == -1) return -1;
  if (fd != to) {
    close(fd);
    return -1;
  }
  return 0;
}

int fd_move(int to, int from) {
  if (to == from) return 0;
  if (fd_copy(to, from) == -1) return -1;
  close(from);
  return 0;
}

namespace {

enum Proto { P_SMTP, P_LMTP, P_QMAIL };

struct Agent {
  Proto proto = P_LMTP;
  std::string word;  // protocol word as written
  std::string host;
  int port = 25;
  std::vector<std::string> argv;  // a command line instead of a host
};

// protocol ":" host [":" port], or protocol ":(" command line ")". A command
// line keeps any ":" of its own.
bool parse_agent(const char *value, Agent &a) {
  std::string v = value ? value : "";
  if (v.size() > FORWARD_MAILER_MAX) {
    MsgLog(OrnixLog, 64, "ForwardMailer of %zu characters refused (at most %d)\n", v.size(),
           FORWARD_MAILER_MAX);
    return false;
  }
  size_t colon = v.find(':');
  a.word = v.substr(0, colon);
  if (strncasecmp(a.word.c_str(), "smtp", 4) == 0)
    a.proto = P_SMTP;
  else if (strncasecmp(a.word.c_str(), "qmail", 5) == 0)
    a.proto = P_QMAIL;
  else
    a.proto = P_LMTP;
  if (colon == std::string::npos || colon + 1 >= v.size()) {
    MsgLog(OrnixLog, 64, "ForwardMailer has no host or command line (%s)\n", v.c_str());
    return false;
  }
  std::string rest = v.substr(colon + 1);
  if (rest[0] == '(') {
    size_t close = rest.find(')');
    std::string cmd = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    size_t i = 0;
    while (i < cmd.size()) {
      size_t sp = cmd.find(' ', i);
      if (sp == std::string::npos) sp = cmd.size();
      if (sp > i) a.argv.push_back(cmd.substr(i, sp - i));
      i = sp + 1;
    }
    if (a.argv.empty() || a.argv.size() > FORWARD_ARGV_MAX) {
      MsgLog(OrnixLog, 64, "ForwardMailer command line refused: %zu words (1 to %d allowed)\n",
             a.argv.size(), FORWARD_ARGV_MAX);
      return false;
    }
    return true;
  }
  size_t c2 = rest.find(':');
  a.host = rest.substr(0, c2);
  if (c2 != std::string::npos && c2 + 1 < rest.size()) {
    char *end = nullptr;
    long p = strtol(rest.c_str() + c2 + 1, &end, 10);
    a.port = p < 0 ? 25 : static_cast<int>(p > 65536 ? 65536 : p);
  }
  if (a.host.empty() || a.port < 1 || a.port > 65535) {
    MsgLog(OrnixLog, 64, "ForwardMailer host or port refused (%s)\n", v.c_str());
    return false;
  }
  return true;
}

int connect_agent(const Agent &a) {
  return ornix_smtp::open_tcp(a.host.c_str(), a.port, 64, "Mail forward server");
}

// Lifts descriptors below 3 out of the way so that placing the others on
// 0 and 1 cannot close one still needed.
int lift(int fd) {
  if (fd > 2) return fd;
  return fcntl(fd, F_DUPFD, 3);
}

[[noreturn]] void run_child(const Agent &a, int in, int out) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);  // the agent starts with a clean mask
  in = lift(in);
  out = lift(out);
  if (in < 0 || out < 0 || fd_copy(0, in) != 0 || fd_copy(1, out) != 0) _exit(120);
  std::vector<char *> argv;
  for (const std::string &w : a.argv) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  MsgLog(OrnixLog, 64, "child: execv error: %s\n", strerror(errno));
  _exit(120);
}

pid_t start_child(const Agent &a, int in, int out) {
  MsgLog(OrnixLog, 8192, "[DEBUG] child: execv: %s execute\n", a.argv[0].c_str());
  if (OrnixLog != nullptr) fflush(OrnixLog);  // the child must not write our buffer again
  pid_t pid = fork();
  if (pid == 0) run_child(a, in, out);
  if (pid < 0) MsgLog(OrnixLog, 64, "fork error: %s\n", strerror(errno));
  else MsgLog(OrnixLog, 8192, "[DEBUG] child: %d \n", static_cast<int>(pid));
  return pid;
}

// The child's result: its exit code, its signal number, or -1 when it had to
// be stopped or could not be waited for.
int child_result(pid_t pid) {
  bool stopped = false;
  int ws = wait_child(pid, SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT, &stopped);
  if (stopped) {
    MsgLog(OrnixLog, 64, "child process %d still running after %d seconds: stopped\n",
           static_cast<int>(pid), SmtpTimeout);
    return -1;
  }
  if (ws == -1) {
    MsgLog(OrnixLog, 64, "waitpid error(error=%s)\n", strerror(errno));
    return -1;
  }
  if (WIFSIGNALED(ws)) {
    MsgLog(OrnixLog, 64, "child process signal received(%d)\n", WTERMSIG(ws));
    return WTERMSIG(ws);
  }
  if (WIFEXITED(ws) && WEXITSTATUS(ws) != 0) {
    MsgLog(OrnixLog, 64, "child process exit code = %d\n", WEXITSTATUS(ws));
    return WEXITSTATUS(ws);
  }
  return 0;
}

int forward_program(const Agent &a, const char *from, char **to, int *status, FILE *fp) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    MsgLog(OrnixLog, 64, "fd0 pipe error: %s\n", strerror(errno));
    return -1;
  }
  pid_t pid = start_child(a, sv[1], sv[1]);
  close(sv[1]);
  if (pid < 0) {
    close(sv[0]);
    return -1;
  }
  // a program that stops reading must not hold a message write for ever
  long ms = scaled_wait_ms((SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT) * 1000L);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(sv[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int r = smtp(a.proto == P_SMTP ? 3 : 2, from, to, status, fp, sv[0], sv[0], nullptr);
  close(sv[0]);  // end of input for the agent
  int e = child_result(pid);
  if (e == 120) return 120;  // the agent could not be started
  return r != 0 && e != 0 ? e : r;
}

// qmail-queue(8): 0 queued; 11 to 40 permanent failures, others temporary.
int forward_qmail(const Agent &a, const char *from, char **to, int *status, FILE *fp) {
  int msg[2], env[2];
  if (pipe2(msg, O_CLOEXEC) != 0) {
    MsgLog(OrnixLog, 64, "fd0 pipe error: %s\n", strerror(errno));
    return -1;
  }
  if (pipe2(env, O_CLOEXEC) != 0) {
    close(msg[0]);
    close(msg[1]);
    MsgLog(OrnixLog, 64, "fd1 pipe error: %s\n", strerror(errno));
    return -1;
  }
  pid_t pid = start_child(a, msg[0], env[0]);
  close(msg[0]);
  close(env[0]);
  if (pid < 0) {
    close(msg[1]);
    close(env[1]);
    return -1;
  }
  int r = qmail(from, to, fp, msg[1], env[1]);
  int e = child_result(pid);
  if (e == 0) return r;
  if (e == 120) return 120;
  bool permanent = e >= 11 && e <= 40;
  int code = permanent ? 554 : 451;
  MsgLog(OrnixLog, 64, "qmail-queue failed (exit %d, %s): reported as %d for every recipient\n", e,
         permanent ? "permanent" : "temporary", code);
  if (status == nullptr) return e;
  for (int i = 0; to != nullptr && to[i] != nullptr && status[i] >= 0; i++) status[i] = code;
  return 0;
}

}  // namespace

int ForwardMail(const char *from, char **to, int *status, FILE *fp) {
  MsgLog(OrnixLog, 8192, "[DEBUG] Forward mail\n");
  if (fp == nullptr) return -1;
  const char *value = config_text("smtpscan.options", "ForwardMailer");
  Agent a;
  if (!parse_agent(value, a)) return -1;
  MsgLog(OrnixLog, 8192, "[DEBUG] P=%s,H=%s,p=%d\n", a.word.c_str(),
         a.argv.empty() ? a.host.c_str() : "", a.port);
  if (a.argv.empty()) {
    int soc = connect_agent(a);
    if (soc < 0) return -1;
    int r = smtp(a.proto == P_SMTP ? 3 : 2, from, to, status, fp, soc, soc, nullptr);
    close(soc);
    return r;
  }
  if (a.proto == P_QMAIL) return forward_qmail(a, from, to, status, fp);
  return forward_program(a, from, to, status, fp);
}

void DeliverMail(mail_obj *m) {
  MsgLog(OrnixLog, 8192, "[DEBUG] Deliver mail\n");
  if (m == nullptr || m->Status == nullptr || m->EnvTo == nullptr || m->EnvToCount < 0) return;
  std::vector<char *> list;
  std::vector<int> slots;
  int total = 0;
  while (total < m->EnvToCount && m->Status[total] >= 0) total++;
  for (int i = 0; i < total; i++) {
    if (m->Status[i] != 200 && m->Status[i] != 20) continue;
    MsgLog(OrnixLog, 8192, "[DEBUG] Deliver to[%d]:%s(%d)\n", static_cast<int>(list.size()),
           m->EnvTo[i], m->Status[i]);
    list.push_back(m->EnvTo[i]);
    slots.push_back(m->Status[i]);
  }
  if (list.empty()) return;
  list.push_back(nullptr);
  slots.push_back(-1);
  const char *from = m->EnvFrom ? m->EnvFrom : "";
  FILE *fp = m->fname ? fopen(m->fname, "re") : nullptr;
  if (fp == nullptr)
    MsgLog(OrnixLog, 64, "Deliver: cannot open %s (%s)\n", m->fname ? m->fname : "",
           strerror(errno));
  int r = ForwardMail(from, list.data(), slots.data(), fp);
  if (fp != nullptr) fclose(fp);
  int slot = 0;
  for (int i = 0; i < total; i++) {
    bool forwarded = m->Status[i] == 200 || m->Status[i] == 20;
    if (r != 0) {
      if (!forwarded) continue;
      m->Status[i] = DELIVER_SYS_ERROR;
      MsgLog(OrnixLog, 64, "Deliver: <%s> --> <%s> ERROR(sys)\n", from, m->EnvTo[i]);
    } else if (!forwarded) {
      MsgLog(OrnixLog, 64, "Deliver: <%s> --> <%s> Not Deliver(%d)\n", from, m->EnvTo[i],
             m->Status[i]);
    } else if (slots[slot++] != m->Status[i]) {
      m->Status[i] = slots[slot - 1];
      MsgLog(OrnixLog, 64, "Deliver: <%s> --> <%s> Not Deliver(%d)\n", from, m->EnvTo[i],
             m->Status[i]);
    } else {
      MsgLog(OrnixLog, 64, "Deliver: <%s> --> <%s> OK\n", from, m->EnvTo[i]);
    }
  }
}
