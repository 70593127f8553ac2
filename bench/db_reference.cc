// Straightforward users list build: every line walks its chain with one
// read per record and every record is written on its own.
#include "db_reference.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kBuckets = 509;
constexpr int kHeader = 4 + 4 * kBuckets;
constexpr size_t kKeyMax = 1023;

bool rd(int fd, void *buf, size_t len, off_t off) {
  return pread(fd, buf, len, off) == static_cast<ssize_t>(len);
}
bool wr(int fd, const void *buf, size_t len, off_t off) {
  return pwrite(fd, buf, len, off) == static_cast<ssize_t>(len);
}
uint32_t le(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
bool wr32(int fd, uint32_t v, off_t off) {
  unsigned char b[4];
  put(b, v);
  return wr(fd, b, 4, off);
}

bool write_record(int fd, const std::string &key, off_t at) {
  std::string rec(8, '\0');
  put(reinterpret_cast<unsigned char *>(&rec[4]), static_cast<uint32_t>(key.size() + 1));
  rec += key;
  rec.push_back('\0');
  return wr(fd, rec.data(), rec.size(), at);
}

int build(int fd, FILE *in) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (st.st_size == 0) {
    unsigned char zero[kHeader] = {};
    if (!wr(fd, zero, sizeof zero, 0)) return -1;
  }
  if (fstat(fd, &st) != 0) return -1;
  off_t last = st.st_size;
  unsigned char head[kHeader];
  if (!rd(fd, head, sizeof head, 0)) return -1;
  uint32_t count = le(head);
  uint32_t table[kBuckets];
  for (int i = 0; i < kBuckets; ++i) table[i] = le(head + 4 + 4 * i);

  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  int rc = 0;
  while (rc == 0 && (n = getline(&line, &cap, in)) >= 0) {
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (strlen(line) > kKeyMax) continue;
    for (char *p = line; *p; ++p)
      if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    std::string key(line);
    unsigned h = reference_bucket(line);
    if (table[h] == 0) {
      table[h] = static_cast<uint32_t>(last);
      if (!write_record(fd, key, last)) rc = -1;
      ++count;
    } else {
      off_t off = table[h];
      for (;;) {
        unsigned char rh[8];
        if (!rd(fd, rh, 8, off)) { rc = -1; break; }
        uint32_t next = le(rh), size = le(rh + 4);
        std::string stored(size, '\0');
        if (!rd(fd, &stored[0], size, off + 8)) { rc = -1; break; }
        if (strncasecmp(stored.data(), line, size) == 0) break;  // duplicate
        if (next == 0) {
          if (!wr32(fd, static_cast<uint32_t>(last), off) || !write_record(fd, key, last)) rc = -1;
          ++count;
          break;
        }
        off = next;
      }
    }
    if (fstat(fd, &st) != 0) rc = -1;
    last = st.st_size;
  }
  free(line);
  if (rc != 0) return -1;
  for (int i = 0; i < kBuckets; ++i) put(head + 4 + 4 * i, table[i]);
  put(head, count);
  return wr(fd, head, sizeof head, 0) ? 0 : -1;
}

}  // namespace

unsigned reference_bucket(const char *key) {
  uint32_t h = 0;
  for (const char *p = key; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    h = (h << 4) + c;
    uint32_t g = h & 0xF0000000u;
    if (g) h ^= g >> 24;
    h &= ~g;
  }
  return h % kBuckets;
}

int reference_dbmake(const char *dbpath, const char *list) {
  int fd = open(dbpath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  int rc = 0;
  FILE *in = fopen(list, "re");
  if (in != nullptr) {
    rc = build(fd, in);
    fclose(in);
  }
  close(fd);
  return rc;
}
