// Scan-result cache: MD5 keys of files found clean, in a two-level tree of
// small hashed files under cache_dir (digits 1-2 directory, 3-4 file, 5-6 bucket).
#ifndef ORNIX_CACHE_CHECK_H
#define ORNIX_CACHE_CHECK_H

#include <cstdint>

#define CDB_TABLE_SIZE 1024   // 256 bucket heads of 32 bits
#define CDB_DATA_LEN 26       // key digits 7 to 32
#define CDB_MAX_RECORDS 512   // a lookup reads at most this many records
#define CDB_KEY_LEN 32

// One record of a bucket chain, stored as a raw 32-byte image.
typedef struct cdb_data {
  int32_t next;              // 1-based number of the next record, 0 ends the chain
  char data[CDB_DATA_LEN];   // key digits 7 to 32, no terminator
  char pad[2];
} CDB;
static_assert(sizeof(CDB) == 32, "cache record must be 32 bytes");

// 0 hit, -1 miss (also on any failure).
int CDBcheck(const char *key);
// 0 appended, -1 failure.
int CDBadd(const char *key);
// 0 found and unlinked, -1 otherwise.
int CDBdel(const char *key);
// Two hexadecimal digit characters ("0"-"9", "a"-"f") as one byte value.
int hex2dec(char hi, char lo);

// Same operations on an explicit cache directory (the three above use cache_dir).
int CDBcheck_dir(const char *dir, const char *key);
int CDBadd_dir(const char *dir, const char *key);
int CDBdel_dir(const char *dir, const char *key);

#endif
