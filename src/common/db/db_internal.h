// Shared pieces of the users database modules (not for other modules).
#ifndef ORNIX_DB_INTERNAL_H
#define ORNIX_DB_INTERNAL_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db.h"
#include "ornix_lib.h"

namespace ornix_db {

// Records are 8 header bytes, the key and its zero byte.
constexpr int64_t kRecordHeader = 8;
// Offsets and sizes are signed 32-bit: the file must stay below 2 GiB.
constexpr int64_t kFileMax = INT32_MAX;

uint32_t get_le32(const unsigned char *p);
void put_le32(unsigned char *p, uint32_t v);
void append_le32(std::string &out, uint32_t v);

bool write_le32_at(int fd, uint32_t v, int64_t off);

// Size of the open file, -1 on error.
int64_t file_size(int fd);

void lower_ascii(char *s);
void lower_ascii(std::string &s);

// One record as read from the file. `key` holds the key bytes without the
// final byte (which is the zero byte in any sound file).
struct Record {
  int64_t offset = 0;
  uint32_t next = 0;
  uint32_t size = 0;
  std::string key;
  // The stored key as a C string, which is what comparisons see.
  std::string text() const { return std::string(key.c_str()); }
  bool terminated = false;  // a zero byte lies within `size`
};

enum class ReadResult { kOk, kIoError, kDamaged };

// Reads the record at `off`, checking that it lies wholly within a file of
// `fsize` bytes and after the header.
ReadResult read_record(int fd, int64_t off, int64_t fsize, Record *rec);
// A chain's next offset must lie after the record that points to it: files
// are only ever appended to, and this bounds every chain walk.
bool next_is_sound(const Record &rec);
// Does the stored record hold `key` (lower case), ignoring case?
bool record_matches(const Record &rec, const std::string &key);

void log_damaged(const DB *db, const char *what, int64_t off);
// read_record for a walk: 0 when the record was read; -1 on a read error or a
// damaged record, which is logged as a bad `what`.
int read_record_checked(const DB *db, int64_t off, int64_t fsize, Record *rec, const char *what);

// Reads the bucket table (509 offsets) into `table`.
bool read_table(const DB *db, uint32_t *table);
bool write_table(const DB *db, const uint32_t *table);

// Adds keys the way the list build does, fast: the chains of the file are
// walked once to learn their keys and ends, new records are gathered in
// memory and written in large blocks, and the links of existing chain ends
// are written after the records they point to.
class Builder {
 public:
  explicit Builder(DB *db) : db_(db) {}
  // Reads the table and every chain; -1 on a read error or a damaged file.
  int load();
  // Adds one lower-case key unless stored already; -1 on error.
  int add(const std::string &key);
  // Writes records, links, table and count; -1 on error.
  int finish();

 private:
  int flush();

  DB *db_;
  uint32_t table_[DB_BUCKETS] = {};
  uint32_t tail_[DB_BUCKETS] = {};
  std::unordered_set<std::string> keys_;
  std::string pending_;  // records not yet written, starting at base_
  int64_t base_ = 0;
  int64_t count_ = 0;
  std::vector<std::pair<int64_t, uint32_t>> links_;  // next fields already in the file
};

}  // namespace ornix_db

#endif
