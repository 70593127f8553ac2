// Users database maintenance: add, rebuild, delete, print and export.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db.h"
#include "db_internal.h"
#include "log.h"
#include "ornix_lib.h"

using namespace ornix_db;

namespace {

// The keys of a list: zero-terminated texts ended by an empty one.
std::vector<std::string> split_keys(const char *keys) {
  std::vector<std::string> out;
  if (keys == nullptr) return out;
  for (const char *p = keys; *p; p += strlen(p) + 1) out.emplace_back(p);
  return out;
}

// Visits every record from the end of the table to the end of the file, in
// file order. 0 at the end, -1 on a read error or a damaged record.
template <typename Visit>
int scan_records(DB *db, Visit visit) {
  const int64_t fsize = file_size(db->fd);
  if (fsize < 0) return -1;
  Record rec;
  for (int64_t off = DB_HEADER_SIZE; off < fsize;) {
    if (read_record_checked(db, off, fsize, &rec, "record") != 0) return -1;
    if (visit(rec) != 0) return -1;
    off += kRecordHeader + rec.size;
  }
  return 0;
}

bool is_live(const Record &rec) { return !rec.key.empty() ? rec.key[0] != ' ' : true; }

int blank_record(DB *db, const Record &rec) {
  std::string blanks(rec.size - 1, ' ');
  return pwrite_all(db->fd, blanks.data(), blanks.size(), rec.offset + kRecordHeader) ? 0 : -1;
}

int print_keys(DB *db) {
  int rc = scan_records(db, [](const Record &rec) {
    if (is_live(rec)) printf("%s\n", rec.text().c_str());
    return 0;
  });
  fflush(stdout);
  return rc;
}

// Empties the file for a rebuild, only ever under the exclusive lock: a
// concurrent holder of the lock must never see its file emptied. A read-only
// handle is exchanged for a writable one first; the file is truncated only
// once that one holds the lock.
int empty_file(DB *db) {
  int acc = fcntl(db->fd, F_GETFL);
  if (acc < 0 || (acc & O_ACCMODE) == O_RDONLY) {
    int fd = open(db->fname, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      MsgLog(OrnixLog, 1, "Users DB open error(%s). %s\n", db->fname, strerror(errno));
      return -1;
    }
    // Two descriptions of one file conflict even within a process: the old
    // lock goes before the new one is taken.
    flock(db->fd, LOCK_UN);
    close(db->fd);
    db->fd = fd;
    int rc;
    while ((rc = flock(db->fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      MsgLog(OrnixLog, 1, "Users DB lock error(%s). %s\n", db->fname, strerror(errno));
      return -1;
    }
  }
  if (ftruncate(db->fd, 0) != 0) {
    MsgLog(OrnixLog, 1, "Users DB truncate error(%s). %s\n", db->fname, strerror(errno));
    return -1;
  }
  unsigned char empty[DB_HEADER_SIZE] = {};
  if (!pwrite_all(db->fd, empty, sizeof empty, 0)) return -1;
  db->last = DB_HEADER_SIZE;
  db->count = 0;
  return 0;
}

int add_keys(DB *db, const std::vector<std::string> &keys) {
  Builder builder(db);
  if (builder.load() != 0) return -1;
  for (std::string key : keys) {
    if (key.size() > DB_KEY_MAX) {
      MsgLog(OrnixLog, 1, "Users DB key too long, skipped(%s)\n", db->fname);
      continue;
    }
    lower_ascii(key);
    if (builder.add(key) != 0) return -1;
  }
  return builder.finish();
}

int delete_matching(DB *db, const char *pattern) {
  return scan_records(db, [db, pattern](const Record &rec) {
    return match(rec.text().c_str(), pattern, 2) ? blank_record(db, rec) : 0;
  });
}

int delete_keys(DB *db, const std::vector<std::string> &keys) {
  uint32_t table[DB_BUCKETS];
  if (!read_table(db, table)) return -1;
  const int64_t fsize = file_size(db->fd);
  if (fsize < 0) return -1;
  for (std::string key : keys) {
    if (key.size() > DB_KEY_MAX) continue;  // never stored
    lower_ascii(key);
    Record rec;
    for (int64_t off = table[mkhash(key.c_str())]; off != 0; off = rec.next) {
      if (read_record_checked(db, off, fsize, &rec, "chain record") != 0) return -1;
      if (record_matches(rec, key) && blank_record(db, rec) != 0) return -1;
      if (rec.next != 0 && !next_is_sound(rec)) {
        log_damaged(db, "chain link", off);
        return -1;
      }
    }
  }
  // Deletion changes neither the table nor the count; both are written back
  // all the same, as after every change.
  if (!write_table(db, table)) return -1;
  return write_le32_at(db->fd, static_cast<uint32_t>(db->count), 0) ? 0 : -1;
}

// Writes every live key to `name`, keeping an existing file as name.back.
// The database operation is done already, so a file that cannot be made is
// reported and not counted as failure; a failed scan or write is.
int export_keys(DB *db, const char *name) {
  mode_t mode = 0600;
  struct stat st;
  if (lstat(name, &st) == 0) {
    if (S_ISREG(st.st_mode)) mode = st.st_mode & 0777;
    std::string back = std::string(name) + ".back";
    if (rename(name, back.c_str()) != 0)
      MsgLog(OrnixLog, 1, "Users DB export backup error(%s). %s\n", back.c_str(), strerror(errno));
  }
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    MsgLog(OrnixLog, 1, "Users DB export error(%s). %s\n", name, strerror(errno));
    return 0;
  }
  std::string out;
  int64_t written = 0;
  int rc = scan_records(db, [&](const Record &rec) {
    if (!is_live(rec)) return 0;
    out.append(rec.text());
    out.push_back('\n');
    if (out.size() < (1 << 16)) return 0;
    if (!pwrite_all(fd, out.data(), out.size(), written)) return -1;
    written += static_cast<int64_t>(out.size());
    out.clear();
    return 0;
  });
  if (rc == 0 && !out.empty() && !pwrite_all(fd, out.data(), out.size(), written)) rc = -1;
  if (close(fd) != 0) rc = -1;
  return rc;
}

}  // namespace

int DBoperation(DB *db, int op, const char *keys, const char *pattern, const char *exportfile) {
  if (db == nullptr || db->fd < 0) return -1;
  if (op == DB_OP_PRINT) return print_keys(db);

  const std::vector<std::string> list = split_keys(keys);
  // An empty pattern would match, and so delete, every record: not a pattern.
  const bool has_pattern = pattern != nullptr && *pattern != '\0';
  int rc = 0;
  switch (op) {
    case DB_OP_ADD:
      if (list.empty()) return -1;
      if (!has_pattern) rc = add_keys(db, list);
      break;
    case DB_OP_REBUILD:
      if (keys == nullptr) return -1;
      rc = empty_file(db);
      if (rc == 0) rc = add_keys(db, list);
      break;
    case DB_OP_DELETE:
      if (has_pattern)
        rc = delete_matching(db, pattern);
      else if (!list.empty())
        rc = delete_keys(db, list);
      else
        return -1;
      break;
    default:
      break;
  }
  if (rc != 0) return -1;
  if (exportfile != nullptr && *exportfile != '\0') return export_keys(db, exportfile);
  return 0;
}
