// Helpers of the users database tests: scratch files, byte fields, log
// capture, and keys that share a bucket.
#ifndef ORNIX_DB_TEST_UTIL_H
#define ORNIX_DB_TEST_UTIL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db.h"
#include "db_reference.h"
#include "log.h"

namespace db_test {

// A private temporary directory, removed with its files at the end.
class ScratchDir {
 public:
  ScratchDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ornix_db_test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline uint32_t le32(const std::string &bytes, size_t off) {
  EXPECT_LE(off + 4, bytes.size());
  if (off + 4 > bytes.size()) return 0;
  const auto *p = reinterpret_cast<const unsigned char *>(bytes.data() + off);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline std::string le32_bytes(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

inline std::string record_bytes(uint32_t next, const std::string &key) {
  return le32_bytes(next) + le32_bytes(static_cast<uint32_t>(key.size() + 1)) + key + std::string(1, '\0');
}

// The 2040-byte header: the count, then the 509 chain heads (bucket, offset).
inline std::string header_bytes(uint32_t count, const std::vector<std::pair<unsigned, uint32_t>> &heads) {
  std::string h = le32_bytes(count) + std::string(4 * DB_BUCKETS, '\0');
  for (const auto &[bucket, off] : heads) h.replace(4 + 4 * bucket, 4, le32_bytes(off));
  return h;
}

// Sends the log channel to memory for the life of the object.
class LogCapture {
 public:
  LogCapture() : saved_log_(OrnixLog), saved_level_(LogLevel) {
    OrnixLog = open_memstream(&text_, &len_);
    LogLevel = 1;
  }
  ~LogCapture() {
    fclose(OrnixLog);
    free(text_);
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
  }
  void expect(const std::string &text) {
    fflush(OrnixLog);
    EXPECT_NE(std::string(text_, len_).find(text), std::string::npos) << "log: " << text_;
  }

 private:
  char *text_ = nullptr;
  size_t len_ = 0;
  FILE *saved_log_;
  int saved_level_;
};

// A handle borrows its file name: names opened by the tests live as long as
// the test program.
inline const char *keep(const std::string &name) {
  static std::list<std::string> names;
  return names.emplace_back(name).c_str();
}

// Opens read-write/create 0600, builds from `list`, closes.
inline int make_db(const std::string &db, const std::string &list) {
  DB *h = DBopen(keep(db), O_RDWR | O_CREAT, 0600);
  if (h == nullptr) return -2;
  int rc = DBmake(h, list.c_str());
  DBclose(h);
  return rc;
}

// Writes the list file `name` and builds `name`.db from it.
inline std::string build(const ScratchDir &dir, const std::string &name, const std::string &list) {
  write_file(dir.file(name), list);
  EXPECT_EQ(make_db(dir.file(name + ".db"), dir.file(name)), 0);
  return dir.file(name + ".db");
}

// DBsearch on a copy of the key; returns {result, status, DBmatch}.
inline std::vector<int> search(DB *h, const std::string &key, int type) {
  std::string buf = key;
  int rc = DBsearch(h, buf.data(), type);
  return {rc, h->status, DBmatch};
}

inline std::string key_list(const std::vector<std::string> &keys) {
  std::string out;
  for (const auto &k : keys) out += k + std::string(1, '\0');
  return out + std::string(1, '\0');
}

// What DB_OP_PRINT writes to standard output.
inline std::string printed(DB *db, int *rc = nullptr) {
  testing::internal::CaptureStdout();
  int r = DBoperation(db, DB_OP_PRINT, nullptr, nullptr, nullptr);
  if (rc) *rc = r;
  return testing::internal::GetCapturedStdout();
}

// Finds `n` keys of the given form that share one bucket.
inline std::vector<std::string> colliding_keys(size_t n) {
  std::vector<std::vector<std::string>> by_bucket(DB_BUCKETS);
  for (int i = 0;; ++i) {
    std::string k = "u" + std::to_string(i) + "@x.jp";
    auto &v = by_bucket[reference_bucket(k.c_str())];
    v.push_back(k);
    if (v.size() == n) return v;
  }
}

}  // namespace db_test

#endif
