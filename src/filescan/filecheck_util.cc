// Masks, name and size texts shared by the walk, the pipeline and the actions.
#include "filecheck_util.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <regex.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "log.h"
#include "safe_file.h"

namespace {

// A mask is one extended regular expression with ":" as its alternation.
int compile_mask(const char *mask, int flag, regex_t *re, std::string *expr) {
  *expr = mask;
  for (char &c : *expr)
    if (c == ':') c = '|';
  return regcomp(re, expr->c_str(), flag | REG_EXTENDED | REG_NOSUB);
}

}  // namespace

std::string mask_error(const char *mask, int flag) {
  if (mask == nullptr || *mask == '\0') return std::string();
  regex_t re;
  std::string expr;
  int rc = compile_mask(mask, flag, &re, &expr);
  if (rc == 0) {
    regfree(&re);
    return std::string();
  }
  char err[256];
  regerror(rc, &re, err, sizeof(err));
  return err[0] != '\0' ? err : "not a regular expression";
}

int match2(const char *text, const char *mask, int flag) {
  if (text == nullptr || *text == '\0' || mask == nullptr || *mask == '\0') return 1;
  regex_t re;
  std::string expr;
  int rc = compile_mask(mask, flag, &re, &expr);
  if (rc != 0) {
    // A broken mask matches nothing; said once per mask rather than per file.
    static std::string reported;
    if (reported != expr) {
      char err[256];
      regerror(rc, &re, err, sizeof(err));
      MsgLog(OrnixLog, 1, "[Warning] mask is not a valid regular expression(%s): %s\n", mask, err);
      reported = expr;
    }
    return 0;
  }
  int hit = regexec(&re, text, 0, nullptr, 0) == 0 ? 1 : 0;
  regfree(&re);
  return hit;
}

int is_ascii_name(const char *s) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++)
    if (*p < 32 || *p > 126) return 0;
  return 1;
}

std::string size_text(long long size) {
  std::string digits = std::to_string(size < 0 ? -size : size);
  std::string out;
  int n = static_cast<int>(digits.size());
  for (int i = 0; i < n; i++) {
    out += digits[i];
    int left = n - 1 - i;
    if (left > 0 && left % 3 == 0) out += ',';
  }
  return size < 0 ? "-" + out : out;
}

bool name_needs_escape(const char *name) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
    if (*p < 32 || *p == 127 || *p == '\\') return true;
  return false;
}

std::string shown_name(const char *name) {
  if (name == nullptr) return std::string();
  if (!name_needs_escape(name)) return name;
  std::string out;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) {
    unsigned char c = *p;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 32 || c == 127) {
      char oct[5];
      snprintf(oct, sizeof oct, "\\%03o", c);
      out += oct;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool same_contents(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int scanned_dir(const ScannedFile &f, UniqueFd *own, std::string *name) {
  if (f.dirfd >= 0 && f.name != nullptr) {
    *name = f.name;
    return f.dirfd;
  }
  if (f.path == nullptr || f.path[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  *own = open_parent_from_root(f.path, name);
  return own->ok() ? own->get() : -1;
}

int check_scanned(int dirfd, const char *name, const struct stat &want) {
  if (want.st_dev == 0 && want.st_ino == 0) return 0;
  struct stat now;
  if (fstatat(dirfd, name, &now, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  // A link the walk followed stands for its target.
  if (S_ISLNK(now.st_mode) && !S_ISLNK(want.st_mode) && fstatat(dirfd, name, &now, 0) != 0)
    return -1;
  if (same_contents(now, want)) return 0;
  errno = ESTALE;
  return -1;
}

UniqueFd open_regular_at(int dirfd, const char *name, bool follow, struct stat *st) {
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd(openat(dirfd, name, follow ? flags : flags | O_NOFOLLOW));
  if (!fd.ok()) return fd;
  if (fstat(fd.get(), st) != 0) return UniqueFd();
  if (!S_ISREG(st->st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

std::string owner_text(uid_t uid) {
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof(buf), &res) == 0 && res != nullptr) return pw.pw_name;
  return std::to_string(static_cast<unsigned long>(uid));
}

std::string group_text(gid_t gid) {
  struct group gr, *res = nullptr;
  char buf[4096];
  if (getgrgid_r(gid, &gr, buf, sizeof(buf), &res) == 0 && res != nullptr) return gr.gr_name;
  return std::to_string(static_cast<unsigned long>(gid));
}

void get_mode_string(mode_t mode, char *buf) {
  char type = '?';
  if (S_ISREG(mode)) type = '-';
  else if (S_ISDIR(mode)) type = 'd';
  else if (S_ISLNK(mode)) type = 'l';
  else if (S_ISBLK(mode)) type = 'b';
  else if (S_ISCHR(mode)) type = 'c';
  else if (S_ISFIFO(mode)) type = 'p';
  else if (S_ISSOCK(mode)) type = 's';
  buf[0] = type;
  buf[1] = (mode & S_IRUSR) ? 'r' : '-';
  buf[2] = (mode & S_IWUSR) ? 'w' : '-';
  buf[3] = (mode & S_ISUID) ? ((mode & S_IXUSR) ? 's' : 'S') : ((mode & S_IXUSR) ? 'x' : '-');
  buf[4] = (mode & S_IRGRP) ? 'r' : '-';
  buf[5] = (mode & S_IWGRP) ? 'w' : '-';
  buf[6] = (mode & S_ISGID) ? ((mode & S_IXGRP) ? 's' : 'S') : ((mode & S_IXGRP) ? 'x' : '-');
  buf[7] = (mode & S_IROTH) ? 'r' : '-';
  buf[8] = (mode & S_IWOTH) ? 'w' : '-';
  buf[9] = (mode & S_ISVTX) ? ((mode & S_IXOTH) ? 't' : 'T') : ((mode & S_IXOTH) ? 'x' : '-');
  buf[10] = '\0';
}
