// Scan-result cache. Each .dat file is a 1,024-byte bucket table followed by
// 32-byte records appended in insertion order; all integers are native int32.
// Writers hold an exclusive flock for their whole read-modify-write; readers
// take no lock and treat every link that leaves the records they read as the
// end of the chain, so a damaged or half-written file is only ever a miss.
#include "cache_check.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache_generation.h"
#include "log.h"
#include "ornixfs.h"
#include "ornix_lib.h"
#include "safe_file.h"

namespace {

using Fd = UniqueFd;

// Holds an exclusive flock until destroyed.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    int r;
    do {
      r = flock(fd_, LOCK_EX);
    } while (r < 0 && errno == EINTR);
    locked_ = (r == 0);
  }
  ~FileLock() {
    if (locked_) flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;
  bool ok() const { return locked_; }

 private:
  int fd_;
  bool locked_;
};

bool valid_key(const char *key) {
  if (key == nullptr) return false;
  for (int i = 0; i < CDB_KEY_LEN; i++) {
    unsigned char c = static_cast<unsigned char>(key[i]);
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return key[CDB_KEY_LEN] == '\0';
}

// Every key is checked first: a key with "/" or ".." never becomes a path.
// *rel is the file below dir, *file the whole path for messages.
bool key_paths(const char *dir, const char *key, std::string *rel, std::string *file) {
  if (dir == nullptr || !valid_key(key)) return false;
  *rel = std::string() + key[0] + key[1] + "/" + key[2] + key[3] + ".dat";
  *file = std::string(dir) + "/" + *rel;
  return true;
}

int bucket_of(const char *key) { return hex2dec(key[4], key[5]); }

bool same_data(const CDB &rec, const char *key) {
  return memcmp(rec.data, key + 6, CDB_DATA_LEN) == 0;
}

off_t record_offset(int32_t n) { return CDB_TABLE_SIZE + static_cast<off_t>(n - 1) * 32; }

// The table and the first records (at most CDB_MAX_RECORDS) of a file, read
// with one call into one allocation.
struct Snapshot {
  int32_t table[256];
  char *buf = nullptr;
  CDB *recs = nullptr;
  int32_t count = 0;
  ~Snapshot() { free(buf); }
};

// 0 loaded, -1 too short or a read failure (errno tells which), -2 no memory.
// One read of as much as a lookup may use; the size seen decides the count
// (writers only append, so a record past it is one a lookup need not see).
int load_snapshot(int fd, Snapshot *s) {
  const off_t most = CDB_TABLE_SIZE + static_cast<off_t>(sizeof(CDB)) * CDB_MAX_RECORDS;
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  if (st.st_size < CDB_TABLE_SIZE + static_cast<off_t>(sizeof(CDB))) {
    errno = 0;
    return -1;
  }
  const size_t len = static_cast<size_t>(st.st_size < most ? st.st_size : most);
  s->buf = static_cast<char *>(malloc(len));
  if (s->buf == nullptr) return -2;
  if (!pread_all(fd, s->buf, len, 0)) return -1;
  const ssize_t got = static_cast<ssize_t>(len);
  memcpy(s->table, s->buf, sizeof(s->table));
  s->recs = reinterpret_cast<CDB *>(s->buf + CDB_TABLE_SIZE);
  s->count = static_cast<int32_t>((got - CDB_TABLE_SIZE) / static_cast<ssize_t>(sizeof(CDB)));
  return 0;
}

// Walks the bucket's chain in a snapshot. Returns the 1-based record number of
// the key, or 0; *prev receives the record before it (0: the table entry).
// A chain can visit at most count records, so a looped chain ends too.
int32_t find_in_chain(const Snapshot &s, const char *key, int32_t *prev) {
  int32_t cur = s.table[bucket_of(key)];
  int32_t before = 0;
  for (int32_t steps = 0; steps < s.count; steps++) {
    if (cur < 1 || cur > s.count) return 0;
    const CDB &rec = s.recs[cur - 1];
    if (same_data(rec, key)) {
      if (prev) *prev = before;
      return cur;
    }
    before = cur;
    cur = rec.next;
  }
  return 0;
}

void log_io_error() {
  MsgLog(OrnixLog, 1, "cache DB file read/write/lseek/fstat error. %s\n", strerror(errno));
}

// Opens the cache file rel below dir (flags as for open_at). With O_CREAT the
// missing directories are made, private to us; an open failure is logged
// when `quiet` is false.
UniqueFd open_cache_file(const char *dir, const std::string &rel, const std::string &file,
                         int flags, bool quiet) {
  const bool create = (flags & O_CREAT) != 0;
  if (create) mkdir(dir, 0700);  // an existing one is kept as it is
  UniqueFd dfd = open_dir(dir);
  std::string leaf;
  DirWalk walk;
  if (create)
    walk.create = [](int parent, const char *name, const std::string &) {
      mkdirat(parent, name, 0700);  // a failure shows in the open that follows
      return 0;
    };
  UniqueFd parent = dfd.ok() ? open_parent(dfd.get(), rel, &leaf, &walk) : UniqueFd();
  UniqueFd fd = parent.ok() ? open_at(parent.get(), leaf.c_str(), flags, FileKind::kRegular, 0600)
                            : UniqueFd();
  if (!fd.ok() && !quiet)
    MsgLog(OrnixLog, 1, "cache DB open error. %s(DB file:%s)\n", strerror(errno), file.c_str());
  return fd;
}

}  // namespace

int hex2dec(char hi, char lo) {
  auto nibble = [](char ch) -> int {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= '0' && c <= '9') return c - 48;
    if (c >= 'a' && c <= 'f') return c - 87;
    return -1;
  };
  int h = nibble(hi), l = nibble(lo);
  if (h < 0 || l < 0) return -1;
  return h * 16 + l;
}

int CDBcheck_dir(const char *dir, const char *key) {
  std::string rel, file;
  if (!key_paths(dir, key, &rel, &file)) return -1;
  // A lookup per file: the directory stays open between lookups of one
  // directory name (generations move its subdirectories, never the directory),
  // and the file is reached in one call; load_snapshot checks the type.
  static std::string open_name;
  static UniqueFd open_dirfd;
  if (!open_dirfd.ok() || open_name != dir) {
    open_dirfd = open_dir(dir);
    open_name = dir;
    if (!open_dirfd.ok()) return -1;
  }
  Fd fd = open_beneath(open_dirfd.get(), rel, O_RDONLY | O_NONBLOCK);
  if (!fd.ok()) return -1;
  Snapshot s;
  int r = load_snapshot(fd.get(), &s);
  if (r == -2) {
    MsgLog(OrnixLog, 1, "cache DB allocate error. %s\n", strerror(errno));
    return -1;
  }
  if (r < 0) return -1;
  return find_in_chain(s, key, nullptr) > 0 ? 0 : -1;
}

int CDBadd_dir(const char *dir, const char *key) {
  std::string rel, file;
  if (!key_paths(dir, key, &rel, &file)) return -1;
  Fd fd = open_cache_file(dir, rel, file, O_RDWR | O_CREAT, false);
  if (!fd.ok()) return -1;
  FileLock lock(fd.get());
  if (!lock.ok()) {
    log_io_error();
    return -1;
  }
  struct stat st;
  if (fstat(fd.get(), &st) < 0) {
    log_io_error();
    return -1;
  }
  int32_t table[256] = {};
  off_t whole = 0;  // whole records present
  if (st.st_size >= CDB_TABLE_SIZE) {
    if (!pread_all(fd.get(), table, sizeof(table), 0)) {
      log_io_error();
      return -1;
    }
    whole = (st.st_size - CDB_TABLE_SIZE) / static_cast<off_t>(sizeof(CDB));
  }
  if (whole >= INT32_MAX) {
    errno = EFBIG;
    log_io_error();
    return -1;
  }
  const int32_t n = static_cast<int32_t>(whole) + 1;
  CDB rec{};
  rec.next = 0;
  memcpy(rec.data, key + 6, CDB_DATA_LEN);

  // The record goes in before any link names it, so a reader without the lock
  // never follows a link to a record that is not there yet. A torn record at
  // the end of a damaged file is overwritten, keeping the file aligned.
  if (!pwrite_all(fd.get(), &rec, sizeof(rec), record_offset(n))) {
    log_io_error();
    return -1;
  }
  const int b = bucket_of(key);
  if (table[b] == 0) {
    table[b] = n;
    if (!pwrite_all(fd.get(), table, sizeof(table), 0)) {
      log_io_error();
      return -1;
    }
    return 0;
  }
  int32_t cur = table[b];
  for (int32_t steps = 0; steps < n - 1; steps++) {
    if (cur < 1 || cur > n - 1) break;  // a link outside the file: leave the new record unlinked
    CDB link{};
    if (!pread_all(fd.get(), &link, sizeof(link), record_offset(cur))) {
      log_io_error();
      return -1;
    }
    if (link.next == 0) {
      link.next = n;
      if (!pwrite_all(fd.get(), &link, sizeof(link), record_offset(cur))) {
        log_io_error();
        return -1;
      }
      break;
    }
    cur = link.next;
  }
  return 0;
}

int CDBdel_dir(const char *dir, const char *key) {
  std::string rel, file;
  if (!key_paths(dir, key, &rel, &file)) return -1;
  Fd fd = open_cache_file(dir, rel, file, O_RDWR, false);
  if (!fd.ok()) return -1;
  FileLock lock(fd.get());
  if (!lock.ok()) {
    log_io_error();
    return -1;
  }
  Snapshot s;
  int r = load_snapshot(fd.get(), &s);
  if (r == -2) {
    MsgLog(OrnixLog, 1, "cache DB allocate error. %s\n", strerror(errno));
    return -1;
  }
  int32_t prev = 0, hit = 0;
  if (r == 0) hit = find_in_chain(s, key, &prev);
  if (hit == 0) {
    log_io_error();
    return -1;
  }
  CDB &rec = s.recs[hit - 1];
  if (prev == 0)
    s.table[bucket_of(key)] = rec.next;
  else
    s.recs[prev - 1].next = rec.next;
  rec.next = 0;
  if (!pwrite_all(fd.get(), s.table, sizeof(s.table), 0) ||
      !pwrite_all(fd.get(), s.recs, sizeof(CDB) * s.count, CDB_TABLE_SIZE)) {
    log_io_error();
    return -1;
  }
  return 0;
}

// A verdict whose signature generation cannot be vouched for is never a hit.
int CDBcheck(const char *key) {
  return cache_generation_usable() ? CDBcheck_dir(cache_dir, key) : -1;
}

// Added only while the cache still records this run's signature generation,
// and under its shared lock, so the tree cannot be replaced meanwhile.
int CDBadd(const char *key) {
  int gate = cache_add_begin();
  if (gate != 0) return gate > 0 ? 0 : -1;
  int rc = CDBadd_dir(cache_dir, key);
  cache_add_end();
  return rc;
}
int CDBdel(const char *key) { return CDBdel_dir(cache_dir, key); }
