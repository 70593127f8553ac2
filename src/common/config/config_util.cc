// Number conversions, name splitting, error reporting and opening files for
// reading, shared by the configuration modules.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>

#include "config_internal.h"
#include "log.h"

namespace ornix_config {

int split_section(const char *name, bool with_colon, std::vector<std::string> &out) {
  out.clear();
  if (name == nullptr) return 0;
  if (strlen(name) > kMaxSectionName) return -1;
  std::string part;
  for (const char *p = name;; p++) {
    if (*p == '\0' || *p == '.' || (with_colon && *p == ':')) {
      if (!part.empty()) {
        if (out.size() == kMaxComponents) return -2;
        out.push_back(part);
        part.clear();
      }
      if (*p == '\0') break;
    } else {
      part.push_back(*p);
    }
  }
  return 0;
}

int to_int(const char *text) {
  if (text == nullptr) return 0;
  const char *p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long v = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    v = v * 10 + (*p - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return static_cast<int>(-v);
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

uint64_t to_u64(const char *text) {
  if (text == nullptr) return 0;
  const char *p = text;
  while (*p == ' ' || *p == '\t') p++;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
    v = v * 10 + d;
  }
  return v;
}

int64_t size_value(const char *text) {
  if (text == nullptr) return 0;
  size_t len = strlen(text);
  int shift = 0;
  if (len > 0) {
    switch (text[len - 1]) {
      case 'G': case 'g': shift = 30; break;
      case 'M': case 'm': shift = 20; break;
      case 'K': case 'k': shift = 10; break;
      default: break;
    }
  }
  if (shift != 0) {
    int n = to_int(std::string(text, len - 1).c_str());
    // a negative size means nothing sensible; it must not wrap into a huge one
    return n <= 0 ? 0 : static_cast<int64_t>(n) << shift;
  }
  uint64_t v = to_u64(text);
  return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v);
}

const char *type_name(int value_type) {
  switch (value_type) {
    case NUM: return "NUM";
    case STR: return "STR";
    case LNUM: return "LNUM";
    default: return "?";
  }
}

FILE *open_config_stream(const char *path, bool regular_only) {
  // O_NONBLOCK so that naming a FIFO cannot hang the open itself
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  // a directory opens but cannot be read; devices and pipes can stall or
  // never end, which an included file or a "file:" value must not do
  if (S_ISDIR(st.st_mode) || (regular_only && !S_ISREG(st.st_mode))) {
    close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *fp = fdopen(fd, "r");
  if (fp == nullptr) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return fp;
}

void config_error(int level, const char *fmt, ...) {
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  MsgLog(OrnixLog, level, "%s", text);
  fputs(text, stdout);
  fflush(stdout);
}

}  // namespace ornix_config
