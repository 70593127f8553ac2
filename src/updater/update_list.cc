// The update list: one module per line, "name build size md5" with single
// blanks. Every field is checked before it reaches a path, a URL or a
// program's arguments; a line that does not fit is logged and skipped.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "ornix_lib.h"
#include "ornixup.h"

namespace {

constexpr size_t kLineRoom = 8191;
constexpr size_t kListCap = 1 << 20;

bool is_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool good_name(const std::string &s) {
  if (s.empty() || s.size() >= sizeof(MOD::name)) return false;
  if (s == "." || s == ".." || s[0] == '-' || s[0] == '.') return false;
  for (unsigned char c : s)
    if (!is_alnum(c) && c != '.' && c != '_' && c != '-' && c != '+') return false;
  return true;
}

bool good_build(const std::string &s) {
  if (s.empty() || s.size() >= sizeof(MOD::build)) return false;
  for (unsigned char c : s)
    if (!is_alnum(c) && c != '.' && c != '-') return false;
  return true;
}

bool parse_size(const std::string &s, int *out) {
  if (s.empty() || s.size() > 10) return false;
  long long v = 0;
  for (unsigned char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

bool good_md5(const std::string &s) {
  if (s.size() != 32) return false;
  for (unsigned char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Splits at single blanks; an empty field (two blanks, a leading or trailing
// blank) makes the line malformed.
bool split_fields(const char *line, size_t len, std::vector<std::string> *fields) {
  std::string cur;
  for (size_t i = 0; i < len; ++i) {
    if (line[i] == ' ') {
      if (cur.empty()) return false;
      fields->push_back(cur);
      cur.clear();
    } else {
      cur.push_back(line[i]);
    }
  }
  if (cur.empty()) return false;
  fields->push_back(cur);
  return true;
}

// Printable form of a refused line for the log: at most 80 characters,
// bytes outside printable ASCII as "?".
std::string shown(const char *line, size_t len) {
  std::string s;
  for (size_t i = 0; i < len && i < 80; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    s.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  if (len > 80) s += "...";
  return s;
}

}  // namespace

int parse_list_line(const char *line, size_t len, MOD *rec, const char **why) {
  *why = nullptr;
  if (len > kLineRoom) {
    *why = "line too long";
    return -1;
  }
  std::vector<std::string> f;
  if (!split_fields(line, len, &f) || f.size() != 4) {
    *why = "not four fields separated by single blanks";
    return -1;
  }
  if (!good_name(f[0])) {
    *why = "module name is not a plain file name";
    return -1;
  }
  if (!good_build(f[1])) {
    *why = "build is not letters, digits, dots and dashes (at most 15)";
    return -1;
  }
  int size = 0;
  if (!parse_size(f[2], &size)) {
    *why = "size is not a decimal number that fits";
    return -1;
  }
  if (!good_md5(f[3])) {
    *why = "md5 is not 32 lowercase hexadecimal digits";
    return -1;
  }
  memset(rec, 0, sizeof *rec);
  memcpy(rec->name, f[0].data(), f[0].size());
  memcpy(rec->build, f[1].data(), f[1].size());
  rec->size = size;
  memcpy(rec->md5, f[3].data(), 32);
  rec->download = 0;
  return 0;
}

int read_update_list(const char *path, std::vector<MOD> *mods) {
  mods->clear();
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) {
    MsgLog(OrnixLog, 1, "Could not open update list(%s): %s\n", path, strerror(errno));
    return -1;
  }
  std::string text;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kListCap) {
      MsgLog(OrnixLog, 1, "Update list(%s) larger than %zu bytes: refused\n", path, kListCap);
      return -1;
    }
  }
  if (n < 0) {
    MsgLog(OrnixLog, 1, "Could not read update list(%s): %s\n", path, strerror(errno));
    return -1;
  }
  size_t pos = 0;
  int lineno = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineno;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (static_cast<int>(mods->size()) == MOD_LIST_MAX) {
      MsgLog(OrnixLog, 1, "Update list line %d and after ignored: at most %d modules\n", lineno,
             MOD_LIST_MAX);
      break;
    }
    MOD rec;
    const char *why = nullptr;
    if (parse_list_line(line.data(), line.size(), &rec, &why) != 0) {
      MsgLog(OrnixLog, 1, "Update list line %d refused(%s): %s\n", lineno, why,
             shown(line.data(), line.size()).c_str());
      continue;
    }
    mods->push_back(rec);
  }
  return 0;
}
