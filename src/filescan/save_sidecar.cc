// The save-tree record: its name, its text form, and its safe write and read.
#include "save_sidecar.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "md5.h"
#include "ornix_lib.h"
#include "safe_file.h"

namespace {

const char kPrefix[] = ".ornixfs-meta-";
const size_t kPrefixLen = sizeof kPrefix - 1;
const char kMagic[] = "ornixfs-saved 1\n";
const size_t kMaxRecord = 64 * 1024;   // paths of FC_PATH_MAX, names escaped 3:1

bool is_hex(const std::string &s) {
  for (unsigned char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

int hexval(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int unescape(const std::string &s, std::string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return -1;
    int hi = hexval(static_cast<unsigned char>(s[i + 1]));
    int lo = hexval(static_cast<unsigned char>(s[i + 2]));
    if (hi < 0 || lo < 0) return -1;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return 0;
}

std::string time_text(const struct timespec &t) {
  char buf[64];
  snprintf(buf, sizeof buf, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
  return buf;
}

int parse_time(const std::string &s, struct timespec *t) {
  char *end = nullptr;
  errno = 0;
  long long sec = strtoll(s.c_str(), &end, 10);
  if (errno != 0 || end == s.c_str() || *end != '.' || strlen(end + 1) != 9) return -1;
  char *end2 = nullptr;
  long nsec = strtol(end + 1, &end2, 10);
  if (*end2 != '\0' || nsec < 0) return -1;
  t->tv_sec = static_cast<time_t>(sec);
  t->tv_nsec = nsec;
  return 0;
}

int parse_unsigned(const std::string &s, int base, unsigned long long max,
                   unsigned long long *out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return -1;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > max) return -1;
  *out = v;
  return 0;
}

int set_field(SavedMeta *m, const std::string &key, const std::string &val) {
  unsigned long long n = 0;
  if (key == "copy") return unescape(val, &m->copy);
  if (key == "path") return unescape(val, &m->path);
  if (key == "owner") return unescape(val, &m->owner);
  if (key == "group") return unescape(val, &m->group);
  if (key == "detections") return unescape(val, &m->detections);
  if (key == "atime") return parse_time(val, &m->atime);
  if (key == "mtime") return parse_time(val, &m->mtime);
  if (key == "md5") {
    m->md5 = val;
    return val.size() == 32 && is_hex(val) ? 0 : -1;
  }
  int rc = -1;
  if (key == "mode" && (rc = parse_unsigned(val, 8, 07777, &n)) == 0)
    m->mode = static_cast<mode_t>(n);
  else if (key == "uid" && (rc = parse_unsigned(val, 10, 0xfffffffeULL, &n)) == 0)
    m->uid = static_cast<uid_t>(n);
  else if (key == "gid" && (rc = parse_unsigned(val, 10, 0xfffffffeULL, &n)) == 0)
    m->gid = static_cast<gid_t>(n);
  else if (key == "size" && (rc = parse_unsigned(val, 10, 1ULL << 62, &n)) == 0)
    m->size = static_cast<long long>(n);
  else if (key == "moved" && (rc = parse_unsigned(val, 10, 1ULL << 40, &n)) == 0)
    m->moved = static_cast<time_t>(n);
  return rc;
}

}  // namespace

int copy_with_digest(int in, int out, std::string *md5, long long *size) {
  struct Digest {
    MD5_CTX ctx;
    long long size = 0;
  } d;
  MD5Init(&d.ctx);
  auto seen = [](void *p, const char *buf, size_t n) {
    Digest *dg = static_cast<Digest *>(p);
    MD5Update(&dg->ctx, buf, static_cast<uint32_t>(n));
    dg->size += static_cast<long long>(n);
  };
  if (copy_data(in, out, seen, &d) != 0) return -1;
  unsigned char sum[16];
  char hex[33];
  MD5Final(sum, &d.ctx);
  md5hex(sum, hex);
  *md5 = hex;
  *size = d.size;
  return 0;
}

std::string escape_name(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f || c == '%') {
      char buf[4];
      snprintf(buf, sizeof buf, "%%%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool is_sidecar_name(const std::string &name) {
  return name.size() == kPrefixLen + 32 && name.compare(0, kPrefixLen, kPrefix) == 0 &&
         is_hex(name.substr(kPrefixLen));
}

std::string sidecar_name(const std::string &copy) {
  unsigned char d[16];
  char hex[33];
  str2md5(copy.data(), static_cast<uint32_t>(copy.size()), d);
  md5hex(d, hex);
  return std::string(kPrefix) + hex;
}

std::string format_sidecar(const SavedMeta &m) {
  char num[64];
  std::string t = kMagic;
  t += "copy=" + escape_name(m.copy) + "\n";
  t += "path=" + escape_name(m.path) + "\n";
  snprintf(num, sizeof num, "mode=%04o\n", static_cast<unsigned>(m.mode & 07777));
  t += num;
  t += "uid=" + std::to_string(m.uid) + "\ngid=" + std::to_string(m.gid) + "\n";
  t += "owner=" + escape_name(m.owner) + "\ngroup=" + escape_name(m.group) + "\n";
  t += "atime=" + time_text(m.atime) + "\nmtime=" + time_text(m.mtime) + "\n";
  t += "size=" + std::to_string(m.size) + "\nmd5=" + m.md5 + "\n";
  t += "moved=" + std::to_string(static_cast<long long>(m.moved)) + "\n";
  t += "detections=" + escape_name(m.detections) + "\n";
  return t;
}

int parse_sidecar(const std::string &text, SavedMeta *m) {
  if (text.compare(0, sizeof kMagic - 1, kMagic) != 0) return -1;
  *m = SavedMeta();
  unsigned seen = 0;
  size_t pos = sizeof kMagic - 1;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) return -1;
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return -1;
    std::string key = line.substr(0, eq);
    if (set_field(m, key, line.substr(eq + 1)) != 0) return -1;
    static const char *const needed[] = {"copy", "path", "mode", "uid",  "gid",  "atime",
                                         "mtime", "size", "md5", "moved"};
    for (unsigned i = 0; i < sizeof needed / sizeof *needed; i++)
      if (key == needed[i]) seen |= 1u << i;
  }
  // Every field that a restore relies on must be there.
  return seen == (1u << 10) - 1 && m->path.size() > 1 && m->path[0] == '/' ? 0 : -1;
}

int write_sidecar(int dirfd, const SavedMeta &m) {
  std::string tmp;
  UniqueFd out = create_temp_at(dirfd, ".ornixfs_move_", &tmp);
  if (!out.ok()) return -1;
  const std::string text = format_sidecar(m);
  bool ok = write_all(out.get(), text.data(), text.size()) && fsync(out.get()) == 0 &&
            out.close_checked() == 0 &&
            // A record already at that name is stale (its copy's name was
            // free) or planted: either way it goes.
            rename_at(dirfd, tmp.c_str(), sidecar_name(m.copy).c_str()) == 0;
  int err = errno;
  if (!ok) {
    out.reset();
    unlinkat(dirfd, tmp.c_str(), 0);
  }
  errno = err;
  return ok && fsync(dirfd) == 0 ? 0 : -1;
}

int read_record(int dirfd, const std::string &name, SavedMeta *m, std::string *err) {
  UniqueFd fd = open_at(dirfd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY,
                        FileKind::kRegular);
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) {
    *err = sys_message("open record", escape_name(name), errno);
    return -1;
  }
  // Anyone who owns a mirrored directory may put files in it; only what we
  // wrote ourselves may say where a file goes back to and whose it is.
  if (st.st_uid != geteuid() || st.st_nlink != 1 || (st.st_mode & 022) != 0 ||
      st.st_size > static_cast<off_t>(kMaxRecord)) {
    *err = "record " + escape_name(name) + " was not written by this user";
    return -1;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  if (!text.empty() && !pread_all(fd.get(), &text[0], text.size(), 0)) {
    *err = sys_message("read record", escape_name(name), errno);
    return -1;
  }
  if (parse_sidecar(text, m) != 0 || sidecar_name(m->copy) != name) {
    *err = "record " + escape_name(name) + " is malformed";
    return -1;
  }
  return 0;
}

int read_sidecar(int dirfd, const std::string &copy, SavedMeta *m, std::string *err) {
  if (read_record(dirfd, sidecar_name(copy), m, err) != 0) return -1;
  if (m->copy == copy) return 0;
  *err = "record " + sidecar_name(copy) + " is not that of " + escape_name(copy);
  return -1;
}
