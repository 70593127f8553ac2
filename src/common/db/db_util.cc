// Users database: byte order, bounded record reads and the fast list build.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "db_internal.h"
#include "log.h"

namespace ornix_db {

namespace {
// Records gathered in memory before they are written in one block.
constexpr size_t kFlushBytes = 1 << 20;
}  // namespace

uint32_t get_le32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_le32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

void append_le32(std::string &out, uint32_t v) {
  unsigned char b[4];
  put_le32(b, v);
  out.append(reinterpret_cast<const char *>(b), 4);
}

bool write_le32_at(int fd, uint32_t v, int64_t off) {
  unsigned char b[4];
  put_le32(b, v);
  return pwrite_all(fd, b, 4, off);
}

int64_t file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

void lower_ascii(char *s) {
  for (; *s; ++s)
    if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s - 'A' + 'a');
}

void lower_ascii(std::string &s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

ReadResult read_record(int fd, int64_t off, int64_t fsize, Record *rec) {
  if (off < DB_HEADER_SIZE || off + kRecordHeader > fsize) return ReadResult::kDamaged;
  unsigned char head[kRecordHeader];
  if (!pread_all(fd, head, sizeof head, off)) return ReadResult::kIoError;
  rec->offset = off;
  rec->next = get_le32(head);
  rec->size = get_le32(head + 4);
  // No list line makes a longer key; anything else is not a record of ours.
  if (rec->size < 1 || rec->size > DB_KEY_MAX + 1 ||
      off + kRecordHeader + static_cast<int64_t>(rec->size) > fsize)
    return ReadResult::kDamaged;
  char buf[DB_KEY_MAX + 1];
  if (!pread_all(fd, buf, rec->size, off + kRecordHeader)) return ReadResult::kIoError;
  rec->terminated = memchr(buf, '\0', rec->size) != nullptr;
  rec->key.assign(buf, rec->size - 1);
  return ReadResult::kOk;
}

bool next_is_sound(const Record &rec) {
  return static_cast<int64_t>(rec.next) > rec.offset;
}

bool record_matches(const Record &rec, const std::string &key) {
  if (!rec.terminated) return false;
  std::string stored = rec.text();
  lower_ascii(stored);
  return stored == key;
}

void log_damaged(const DB *db, const char *what, int64_t off) {
  MsgLog(OrnixLog, 1, "Users DB damaged(%s): bad %s at offset %lld\n", db->fname, what,
         static_cast<long long>(off));
}

int read_record_checked(const DB *db, int64_t off, int64_t fsize, Record *rec, const char *what) {
  switch (read_record(db->fd, off, fsize, rec)) {
    case ReadResult::kOk:
      return 0;
    case ReadResult::kIoError:
      return -1;
    case ReadResult::kDamaged:
      break;
  }
  log_damaged(db, what, off);
  return -1;
}

bool read_table(const DB *db, uint32_t *table) {
  unsigned char buf[DB_TABLE_SIZE];
  if (!pread_all(db->fd, buf, sizeof buf, 4)) return false;
  for (int i = 0; i < DB_BUCKETS; ++i) table[i] = get_le32(buf + 4 * i);
  return true;
}

bool write_table(const DB *db, const uint32_t *table) {
  unsigned char buf[DB_TABLE_SIZE];
  for (int i = 0; i < DB_BUCKETS; ++i) put_le32(buf + 4 * i, table[i]);
  return pwrite_all(db->fd, buf, sizeof buf, 4);
}

int Builder::load() {
  if (!read_table(db_, table_)) return -1;
  const int64_t fsize = file_size(db_->fd);
  if (fsize < 0) return -1;
  count_ = db_->count;
  base_ = db_->last;
  for (int b = 0; b < DB_BUCKETS; ++b) {
    int64_t off = table_[b];
    Record rec;
    while (off != 0) {
      if (read_record_checked(db_, off, fsize, &rec, "chain record") != 0) return -1;
      if (rec.terminated) {
        std::string stored = rec.text();
        lower_ascii(stored);
        // Only a key of this bucket can ever equal a key looked up here.
        if (mkhash(stored.c_str()) == b) keys_.insert(std::move(stored));
      }
      if (rec.next == 0) {
        tail_[b] = static_cast<uint32_t>(off);
        break;
      }
      if (!next_is_sound(rec)) {
        log_damaged(db_, "chain link", off);
        return -1;
      }
      off = rec.next;
    }
  }
  return 0;
}

int Builder::add(const std::string &key) {
  if (keys_.count(key) != 0) return 0;
  const int64_t at = base_ + static_cast<int64_t>(pending_.size());
  if (at + kRecordHeader + static_cast<int64_t>(key.size()) + 1 > kFileMax || count_ >= INT32_MAX) {
    MsgLog(OrnixLog, 1, "Users DB is full(%s)\n", db_->fname);
    return -1;
  }
  const int h = mkhash(key.c_str());
  pending_.append(4, '\0');
  append_le32(pending_, static_cast<uint32_t>(key.size() + 1));
  pending_.append(key);
  pending_.push_back('\0');

  const uint32_t tail = tail_[h];
  if (tail == 0) {
    table_[h] = static_cast<uint32_t>(at);
  } else if (tail >= base_) {
    put_le32(reinterpret_cast<unsigned char *>(&pending_[tail - base_]), static_cast<uint32_t>(at));
  } else {
    links_.emplace_back(tail, static_cast<uint32_t>(at));
  }
  tail_[h] = static_cast<uint32_t>(at);
  ++count_;
  keys_.insert(key);
  return pending_.size() >= kFlushBytes ? flush() : 0;
}

int Builder::flush() {
  if (pending_.empty()) return 0;
  if (!pwrite_all(db_->fd, pending_.data(), pending_.size(), base_)) return -1;
  base_ += static_cast<int64_t>(pending_.size());
  pending_.clear();
  return 0;
}

// Records first, then the links into them, then the table: an interrupted
// build leaves unreachable records, never a chain into nothing.
int Builder::finish() {
  if (flush() != 0) return -1;
  for (const auto &[off, value] : links_)
    if (!write_le32_at(db_->fd, value, off)) return -1;
  links_.clear();
  if (!write_table(db_, table_)) return -1;
  if (!write_le32_at(db_->fd, static_cast<uint32_t>(count_), 0)) return -1;
  db_->count = static_cast<int>(count_);
  const int64_t now = file_size(db_->fd);
  if (now < 0) return -1;
  db_->last = static_cast<int>(now);
  return 0;
}

}  // namespace ornix_db

// The bucket of a key: the classic ELF hash of its lower-cased bytes.
int mkhash(const char *key) {
  uint32_t h = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; ++p) {
    unsigned char c = *p;
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    h = (h << 4) + c;
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return static_cast<int>(h % DB_BUCKETS);
}
