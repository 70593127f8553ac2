// Users database: a chained hash table of lower-case user addresses in one
// file, exclusively flock'ed from DBopen to DBclose.
//
// File layout (32-bit little-endian integers, offsets from the file start):
//   0     count         records ever stored, deleted ones included
//   4     509 x offset  bucket table: first record of each chain, 0 = empty
//   2040  records       next (4), size = key length + 1 (4), key, zero byte
// Deleted records stay in their chain with the key bytes blanked.
#ifndef ORNIX_DB_H
#define ORNIX_DB_H

#define DB_BUCKETS 509
#define DB_TABLE_SIZE (DB_BUCKETS * 4)   // 2036 bytes
#define DB_HEADER_SIZE (4 + DB_TABLE_SIZE) // 2040 bytes: count + table
#define DB_KEY_MAX 1023                  // longest key (one list line)

// DBoperation codes
#define DB_OP_ADD 0
#define DB_OP_REBUILD 1
#define DB_OP_DELETE 2
#define DB_OP_PRINT 3

// Handle of one open, locked database.
struct DB {
  int fd;
  int last;          // end of file: where the next record goes
  int tsize;         // bucket table size in bytes (DB_TABLE_SIZE)
  int count;         // record count, as in the file header
  int status;        // last search: 0 key present (found or added), -1 absent
  const char *fname; // as given to DBopen; the caller keeps it alive
};

// 0 when the last DBsearch found the key already stored, -1 otherwise.
extern int DBmatch;

// Opens (and creates, with O_CREAT in flags) the file and takes the exclusive
// lock, waiting for it. Null on failure, with a level-1 message.
DB *DBopen(const char *fname, int flags, int mode);
// Unlocks, closes and frees the handle (null is ignored).
void DBclose(DB *db);
// Adds every line of the text list `list`; duplicates are skipped.
// 0, also when the list cannot be opened; -1 on a read, write or seek error.
int DBmake(DB *db, const char *list);
// Looks `key` up (lower-cased in place). type 0: add it when missing; any
// other type: find only. The answer is in db->status and DBmatch.
// 0, or -1 on a read, write or seek error or a damaged file.
int DBsearch(DB *db, char *key, int type);
// Maintenance: `keys` is a list of zero-terminated keys ended by an empty
// key; `pattern` a comma-separated regular-expression list (delete only);
// `exportfile`, when given, receives every live key (the old file is kept
// with ".back" appended). 0, or -1 on error.
int DBoperation(DB *db, int op, const char *keys, const char *pattern,
                const char *exportfile);
// Bucket (0..508) of a key: the ELF symbol hash of its lower-cased bytes.
int mkhash(const char *key);

#endif
