// Host, process and pattern utilities shared by every program of the suite.
#include "ornix_lib.h"
#include "stop_signal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <regex.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"

char MailHostName[256];

namespace {

// Name buffers of the host-name lookups hold at most this many characters.
constexpr size_t kNameMax = 8191;

bool is_line_end(char c) { return c == '\n' || c == '\r'; }
bool is_line_end_or_blank(char c) { return is_line_end(c) || c == ' ' || c == '\t'; }

template <typename Pred>
void trim_end(char *s, Pred pred) {
  if (s == nullptr) return;
  size_t n = strlen(s);
  while (n > 0 && pred(s[n - 1])) s[--n] = '\0';
}

using Fd = UniqueFd;

// A version text as one number: up to four dot-separated components of one
// to three digits, weighted 1000/100/10/1. False for anything else.
bool build_number(const char *text, long *out) {
  static const long weights[4] = {1000, 100, 10, 1};
  long total = 0;
  if (*text == '\0') {
    *out = 0;
    return true;
  }
  const char *p = text;
  for (int comp = 0;; ++comp) {
    if (comp >= 4) return false;  // a fifth component: not a build of ours
    int digits = 0;
    long value = 0;
    while (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + (*p - '0');
      ++p;
    }
    if (digits == 0) return false;
    total += value * weights[comp];
    if (*p == '\0') break;
    if (*p != '.') return false;
    ++p;
  }
  *out = total;
  return true;
}

void set_fqdn(mail_obj *mail, const char *name) {
  char *copy = strdup(name);
  if (copy == nullptr) {
    MsgLog(OrnixLog, 1, "host name allocate error. %s\n", strerror(errno));
    return;  // keep the old name rather than lose the field
  }
  free(mail->fqdn);
  mail->fqdn = copy;
}

// The forward half of the paranoid check: does `name` resolve back to `ip`?
// Returns the host name to use.
std::string confirm_name(const std::string &name, const char *ip) {
  MsgLog(OrnixLog, 256, "Get FQDN from IP address.(%s)\n", name.c_str());
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
    MsgLog(OrnixLog, 256, "paranoid failed. no response.\n");
    return ip;
  }
  bool confirmed = false;
  for (struct addrinfo *ai = res; ai != nullptr && !confirmed; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ai->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr &&
        strcmp(text, ip) == 0)
      confirmed = true;
  }
  freeaddrinfo(res);
  if (confirmed) return name;
  MsgLog(OrnixLog, 256, "paranoid failed. IP miss match.(%s)\n", ip);
  return ip;
}

}  // namespace

void chomp(char *s) { trim_end(s, is_line_end); }

void chomp2(char *s) { trim_end(s, is_line_end_or_blank); }

int isDir(const char *path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

// The destination is always a file of our own making: a planted symbolic link
// or a file re-created between the delete and the create makes the copy fail
// instead of writing through it.
int copy(const char *src, const char *dst) {
  if (src == nullptr || dst == nullptr) return -1;
  Fd in(open(src, O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return -1;
  struct stat st;
  if (fstat(in.get(), &st) != 0) return -1;
  mode_t perm = st.st_mode & 0777;

  // A destination that cannot be removed (a directory, a read-only tree)
  // makes the exclusive create below fail, which reports it.
  (void)unlink(dst);
  Fd out(open(dst, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
              perm));
  if (out.get() < 0) {
    printf("could not create destination file(%s)\n", strerror(errno));
    return -1;
  }
  if (copy_data(in.get(), out.get()) != 0) return -1;
  // A delayed write error (full disk, network file system) shows up here.
  if (out.close_checked() != 0) return -1;
  return 0;
}

// A pid is a positive decimal number; anything else (a sign, an overflow)
// yields 0 so that no caller ever signals a process group or every process.
int get_ave_pid(const char *pidfile) {
  if (pidfile == nullptr) return -1;
  FILE *fp = fopen(pidfile, "re");
  if (fp == nullptr) return -1;
  char line[20];
  char *got = fgets(line, sizeof line, fp);
  fclose(fp);
  if (got == nullptr) return -1;
  const char *p = line;
  while (*p == ' ' || *p == '\t') ++p;
  long value = 0;
  bool any = false;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return 0;
    any = true;
    ++p;
  }
  return any ? static_cast<int>(value) : 0;
}

int build_check(const char *own_version, const char *given) {
  if (given == nullptr) return 0;
  if (strncmp(given, "check", 5) == 0) return 2;
  if (own_version == nullptr) return 0;
  long own = 0, other = 0;
  if (!build_number(own_version, &own) || !build_number(given, &other)) return 0;
  return other > own ? 1 : 0;
}

void set_hostname(void) {
  char name[sizeof MailHostName];
  // gethostname need not terminate a truncated name; a truncated name is
  // not the host's name either, so it counts as failure.
  name[sizeof name - 1] = '\0';
  if (gethostname(name, sizeof name) != 0 || name[sizeof name - 1] != '\0' || name[0] == '\0' ||
      strcmp(name, "(none)") == 0) {
    snprintf(MailHostName, sizeof MailHostName, "%s", "localhost");
    return;
  }
  snprintf(MailHostName, sizeof MailHostName, "%s", name);
}

int match(const char *str, const char *pattern, int flags) {
  MsgLog(OrnixLog, 16384, "[DEBUG] match: str=%s,pattern=%s,flag=%d\n", str ? str : "(null)",
         pattern ? pattern : "(null)", flags);
  if (pattern == nullptr || str == nullptr) return 0;
  if (*pattern == '\0') return 1;

  std::string buf(pattern);
  for (char &c : buf)
    if (c == ',') c = '|';
  MsgLog(OrnixLog, 16384, "[DEBUG] buf=%s\n", buf.c_str());

  // Callers pass 2 for case-insensitive matching (glibc's REG_ICASE bit).
  int cflags = REG_EXTENDED | REG_NOSUB;
  if (flags & 2) cflags |= REG_ICASE;
  cflags |= flags & ~2;
  regex_t re;
  int rc = regcomp(&re, buf.c_str(), cflags);
  MsgLog(OrnixLog, 16384, "[DEBUG] regcomp=%d\n", rc);
  if (rc != 0) {
    char msg[kNameMax + 1];
    regerror(rc, &re, msg, sizeof msg);
    MsgLog(OrnixLog, 1, "REGEXP error: error=%d,msg=%s\n", rc, msg);
    return 0;
  }
  int ex = regexec(&re, str, 0, nullptr, 0);
  MsgLog(OrnixLog, 16384, "[DEBUG] regexec=%d\n", ex);
  regfree(&re);
  return ex == 0 ? 1 : 0;
}

void get_fqdn(mail_obj *mail, int resolve) {
  if (mail == nullptr) return;
  const char *ip = mail->ip ? mail->ip : "";
  if (resolve == 0) {
    set_fqdn(mail, ip);
    MsgLog(OrnixLog, 8192, "[DEBUG] no resolve connect ip\n");
    return;
  }

  std::string candidate = ip;
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  if (inet_pton(AF_INET, ip, &sin.sin_addr) == 1) {
    char host[kNameMax + 1];
    if (getnameinfo(reinterpret_cast<struct sockaddr *>(&sin), sizeof sin, host, sizeof host,
                    nullptr, 0, NI_NAMEREQD) == 0) {
      candidate = host;
      MsgLog(OrnixLog, 8192, "[DEBUG] resolve ip\n");
    } else {
      MsgLog(OrnixLog, 8192, "[DEBUG] could not resolve ip\n");
    }
  } else {
    MsgLog(OrnixLog, 8192, "[DEBUG] IP is not a.b.c.d(%s)\n", ip);
  }

  std::string result = candidate == ip ? candidate : confirm_name(candidate, ip);
  set_fqdn(mail, result.c_str());
  MsgLog(OrnixLog, 8192, "[DEBUG] Get FQDN from IP address.(%s => %s)\n", ip,
         mail->fqdn ? mail->fqdn : "");
}

int IsPrivIP(const char *ip) {
  if (ip == nullptr) return 0;
  if (strcmp(ip, "127.0.0.1") == 0) return 1;
  static const char *const prefixes[] = {
      "10.",     "172.16.", "172.17.", "172.18.", "172.19.", "172.20.", "172.21.",
      "172.22.", "172.23.", "172.24.", "172.25.", "172.26.", "172.27.", "172.28.",
      "172.29.", "172.30.", "172.31.", "192.168."};
  for (const char *p : prefixes)
    if (strncmp(ip, p, strlen(p)) == 0) return 1;
  return 0;
}

// off < 0 writes at the file offset.
static bool write_loop(int fd, const void *buf, size_t len, off_t off) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    ssize_t n = off < 0 ? write(fd, p, len) : pwrite(fd, p, len, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    if (off >= 0) off += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool write_all(int fd, const void *buf, size_t len) { return write_loop(fd, buf, len, -1); }

bool pwrite_all(int fd, const void *buf, size_t len, off_t off) {
  if (off < 0) {
    errno = EINVAL;
    return false;
  }
  return write_loop(fd, buf, len, off);
}

bool pread_all(int fd, void *buf, size_t len, off_t off) {
  char *p = static_cast<char *>(buf);
  while (len > 0) {
    ssize_t n = pread(fd, p, len, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    off += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int copy_data(int in, int out, void (*seen)(void *ctx, const char *buf, size_t n), void *ctx) {
  char buf[8192];
  for (;;) {
    // A stop request ends a long copy at once; the caller then ends the run.
    if (stop_requested()) {
      errno = EINTR;
      return -1;
    }
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    if (out >= 0 && !write_all(out, buf, static_cast<size_t>(n))) return -1;
    if (seen != nullptr) seen(ctx, buf, static_cast<size_t>(n));
  }
}

std::string shell_quote(const char *s) {
  std::string out = "'";
  for (const char *c = s ? s : ""; *c != '\0'; ++c) {
    if (*c == '\'') out += "'\\''";
    else out += *c;
  }
  out += "'";
  return out;
}

std::string program_dir(const char *argv0) {
  std::string arg = argv0 != nullptr ? argv0 : "";
  size_t slash = arg.rfind('/');
  if (slash == std::string::npos) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    arg.assign(buf, static_cast<size_t>(n));
    slash = arg.rfind('/');
    if (slash == std::string::npos) return "";
  }
  std::string dir = arg.substr(0, slash == 0 ? 1 : slash);
  if (dir[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) dir = std::string(cwd) + "/" + dir;
  }
  return dir;
}
