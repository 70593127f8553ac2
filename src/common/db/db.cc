// Users database: open, close, list build and search.
#include "db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db_internal.h"
#include "log.h"
#include "ornix_lib.h"

using namespace ornix_db;

int DBmatch = -1;

namespace {

void fail_open(DB *db, const char *fmt, int err) {
  MsgLog(OrnixLog, 1, fmt, strerror(err));
  close(db->fd);
  free(db);
}

// The stored form of a record: next, size, key, zero byte.
void append_record(std::string &out, const std::string &key) {
  append_le32(out, 0);
  append_le32(out, static_cast<uint32_t>(key.size() + 1));
  out.append(key);
  out.push_back('\0');
}

// Appends one record at db->last; the caller links it.
int append_at_last(DB *db, const std::string &key, int64_t *where) {
  int64_t at = db->last;
  if (at + kRecordHeader + static_cast<int64_t>(key.size()) + 1 > kFileMax || db->count == INT32_MAX) {
    MsgLog(OrnixLog, 1, "Users DB is full(%s)\n", db->fname);
    return -1;
  }
  std::string rec;
  append_record(rec, key);
  if (!pwrite_all(db->fd, rec.data(), rec.size(), at)) return -1;
  *where = at;
  return 0;
}

// The text list of a build, read line by line. Over-long lines are
// reported and skipped whole rather than cut into keys nobody listed.
class ListReader {
 public:
  ListReader(const char *name) : name_(name), fp_(name ? fopen(name, "re") : nullptr) {}
  ~ListReader() {
    free(buf_);
    if (fp_) fclose(fp_);
  }
  ListReader(const ListReader &) = delete;
  ListReader &operator=(const ListReader &) = delete;
  bool is_open() const { return fp_ != nullptr; }
  bool failed() const { return ferror(fp_) != 0; }
  // The next line without its line end; false at the end of the list.
  bool next(std::string &line) {
    for (;;) {
      ssize_t n = getline(&buf_, &cap_, fp_);
      if (n < 0) return false;
      ++lineno_;
      while (n > 0 && (buf_[n - 1] == '\n' || buf_[n - 1] == '\r')) buf_[--n] = '\0';
      size_t len = strlen(buf_);  // a zero byte ends the key
      if (len > DB_KEY_MAX) {
        MsgLog(OrnixLog, 1, "Users list line too long, skipped(%s line %ld)\n", name_, lineno_);
        continue;
      }
      line.assign(buf_, len);
      return true;
    }
  }

 private:
  const char *name_;
  FILE *fp_;
  char *buf_ = nullptr;
  size_t cap_ = 0;
  long lineno_ = 0;
};

}  // namespace

DB *DBopen(const char *fname, int flags, int mode) {
  DB *db = static_cast<DB *>(calloc(1, sizeof(DB)));
  if (db == nullptr) {
    MsgLog(OrnixLog, 1, "Users DB allocate error. %s\n", strerror(errno));
    return nullptr;
  }
  db->fd = open(fname, flags | O_CLOEXEC, mode);
  if (db->fd < 0) {
    MsgLog(OrnixLog, 1, "Users DB open error. %s\n", strerror(errno));
    free(db);
    return nullptr;
  }
  db->fname = fname;
  db->tsize = DB_TABLE_SIZE;
  db->last = db->count = db->status = 0;

  int rc;
  while ((rc = flock(db->fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    fail_open(db, "Users DB lock error. %s\n", errno);
    return nullptr;
  }
  struct stat st;
  if (fstat(db->fd, &st) != 0) {
    fail_open(db, "Users DB file status error. %s\n", errno);
    return nullptr;
  }
  if (st.st_size > 0) {
    if (st.st_size < DB_HEADER_SIZE || st.st_size > kFileMax) {
      MsgLog(OrnixLog, 1, "Users DB damaged(%s): file size %lld is no database size\n", fname,
             static_cast<long long>(st.st_size));
      close(db->fd);
      free(db);
      return nullptr;
    }
    unsigned char cnt[4];
    if (!pread_all(db->fd, cnt, 4, 0)) {
      fail_open(db, "Users DB read error. %s\n", errno ? errno : EIO);
      return nullptr;
    }
    db->count = static_cast<int32_t>(get_le32(cnt));
    db->last = static_cast<int>(st.st_size);
  } else {
    unsigned char empty[DB_HEADER_SIZE] = {};
    if (!pwrite_all(db->fd, empty, sizeof empty, 0)) {
      fail_open(db, "Users DB write error. %s\n", errno ? errno : EIO);
      return nullptr;
    }
    db->last = DB_HEADER_SIZE;
  }
  lseek(db->fd, 0, SEEK_SET);
  return db;
}

void DBclose(DB *db) {
  if (db == nullptr) return;
  if (db->fd >= 0) {
    flock(db->fd, LOCK_UN);
    close(db->fd);
  }
  free(db);
}

int DBmake(DB *db, const char *list) {
  if (db == nullptr) return -1;
  db->status = -1;
  Builder builder(db);
  if (builder.load() != 0) return -1;
  ListReader in(list);
  if (!in.is_open()) return 0;  // no list: the database stays as it is
  std::string key;
  while (in.next(key)) {
    lower_ascii(key);
    if (builder.add(key) != 0) return -1;
  }
  if (in.failed()) return -1;
  return builder.finish();
}

int DBsearch(DB *db, char *key, int type) {
  DBmatch = -1;
  if (db == nullptr) return -1;
  db->status = -1;
  if (key == nullptr) return -1;
  uint32_t table[DB_BUCKETS];
  if (!read_table(db, table)) return -1;
  lower_ascii(key);
  const std::string k(key);
  if (k.size() > DB_KEY_MAX) {
    if (type != 0) return 0;  // longer than any list line: not stored
    MsgLog(OrnixLog, 1, "Users DB key too long(%s)\n", db->fname);
    return -1;
  }
  const int h = mkhash(key);
  const int64_t fsize = file_size(db->fd);
  if (fsize < 0) return -1;

  int64_t link_at = 4 + 4 * static_cast<int64_t>(h);  // where the new record gets linked
  int64_t off = table[h];
  if (off != 0) {
    Record rec;
    for (;;) {
      if (read_record_checked(db, off, fsize, &rec, "chain record") != 0) return -1;
      if (record_matches(rec, k)) {
        db->status = 0;
        DBmatch = 0;
        return 0;
      }
      if (rec.next == 0) break;
      if (!next_is_sound(rec)) {
        log_damaged(db, "chain link", off);
        return -1;
      }
      off = rec.next;
    }
    link_at = off;  // the record's next field is its first four bytes
  }
  if (type == 0) {
    int64_t where = 0;
    if (append_at_last(db, k, &where) != 0) return -1;
    if (!write_le32_at(db->fd, static_cast<uint32_t>(where), link_at)) return -1;
    if (!write_le32_at(db->fd, static_cast<uint32_t>(db->count + 1), 0)) return -1;
    db->count++;
    db->status = 0;
  }
  const int64_t now = file_size(db->fd);
  if (now < 0) return -1;
  db->last = static_cast<int>(now);
  return 0;
}
