// Hashed users database: file bytes, chains, deletion, export, locking,
// damaged files, and the fast build against the straightforward one.
#include "db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db_reference.h"
#include "log.h"

namespace {

class ScratchDir {
 public:
  ScratchDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ornix_db_test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = buf.data();
  }
  ~ScratchDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  ASSERT_TRUE(out.good()) << path;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

uint32_t le32(const std::string &bytes, size_t off) {
  EXPECT_LE(off + 4, bytes.size());
  if (off + 4 > bytes.size()) return 0;
  const auto *p = reinterpret_cast<const unsigned char *>(bytes.data() + off);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string le32_bytes(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string record_bytes(uint32_t next, const std::string &key) {
  return le32_bytes(next) + le32_bytes(static_cast<uint32_t>(key.size() + 1)) + key +
         std::string(1, '\0');
}

uint32_t bucket_entry(const std::string &bytes, unsigned bucket) { return le32(bytes, 4 + 4 * bucket); }

// Sends the log channel to a temporary file for the life of the object.
class LogCapture {
 public:
  LogCapture() : fp_(tmpfile()), saved_log_(OrnixLog), saved_level_(LogLevel) {
    OrnixLog = fp_;
    LogLevel = 1;
  }
  ~LogCapture() {
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
    fclose(fp_);
  }
  std::string text() {
    fflush(fp_);
    rewind(fp_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  FILE *fp_;
  FILE *saved_log_;
  int saved_level_;
};

// A handle borrows its file name: names opened by the tests live as long as
// the test program.
const char *keep(const std::string &name) {
  static std::list<std::string> names;
  return names.emplace_back(name).c_str();
}

// Opens read-write/create 0600, builds from `list`, closes.
int make_db(const std::string &db, const std::string &list) {
  DB *h = DBopen(keep(db), O_RDWR | O_CREAT, 0600);
  if (h == nullptr) return -2;
  int rc = DBmake(h, list.c_str());
  DBclose(h);
  return rc;
}

// DBsearch on a copy of the key; returns {result, status, DBmatch}.
std::vector<int> search(DB *h, const std::string &key, int type) {
  std::vector<char> buf(key.begin(), key.end());
  buf.push_back('\0');
  int rc = DBsearch(h, buf.data(), type);
  return {rc, h->status, DBmatch};
}

std::string key_list(const std::vector<std::string> &keys) {
  std::string out;
  for (const auto &k : keys) out += k + std::string(1, '\0');
  out.push_back('\0');
  return out;
}

// Finds `n` keys of the given form that share one bucket.
std::vector<std::string> colliding_keys(size_t n) {
  std::vector<std::vector<std::string>> by_bucket(DB_BUCKETS);
  for (int i = 0;; ++i) {
    std::string k = "u" + std::to_string(i) + "@x.jp";
    auto &v = by_bucket[reference_bucket(k.c_str())];
    v.push_back(k);
    if (v.size() == n) return v;
  }
}

}  // namespace

TEST(DbHash, ClassicElfHashModulo509) {
  EXPECT_EQ(mkhash(""), 0);
  EXPECT_EQ(mkhash("a"), 97);
  EXPECT_EQ(mkhash("printf"), static_cast<int>(0x077905a6u % 509));
  EXPECT_EQ(mkhash("user@example.com"), 234);
  EXPECT_EQ(mkhash("USER@Example.COM"), 234);
  EXPECT_EQ(mkhash("abcdefghijklmnopqrstuvwxyz"), 207);  // long enough to fold the top bits
  // bytes above 127 are taken unsigned, whatever the signedness of char
  EXPECT_EQ(mkhash("\xe9t\xe9"), static_cast<int>(reference_bucket("\xe9t\xe9")));
  for (int i = 0; i < 2000; ++i) {
    std::string k = "Key-" + std::to_string(i * 7919) + "@Host" + std::to_string(i) + ".example";
    ASSERT_EQ(mkhash(k.c_str()), static_cast<int>(reference_bucket(k.c_str()))) << k;
  }
}

TEST(DbFile, FreshDatabaseIsCountAndEmptyTable) {
  ScratchDir dir;
  write_file(dir.file("users"), "");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  EXPECT_EQ(read_file(dir.file("users.db")), std::string(2040, '\0'));
  struct stat st;
  ASSERT_EQ(stat(dir.file("users.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // a list that cannot be opened leaves the database as it is
  ASSERT_EQ(make_db(dir.file("other.db"), dir.file("missing")), 0);
  EXPECT_EQ(read_file(dir.file("other.db")), std::string(2040, '\0'));
}

TEST(DbFile, RecordsTableAndCountByteForByte) {
  ScratchDir dir;
  write_file(dir.file("users"), "Alice@Example.COM\r\nbob@other.org\n\nALICE@example.com\nbob@other.org");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  std::string expect(2040, '\0');
  expect.replace(0, 4, le32_bytes(3));
  const uint32_t a = 2040, b = a + 8 + 18, e = b + 8 + 14;
  expect.replace(4 + 4 * 209, 4, le32_bytes(a));  // alice@example.com
  expect.replace(4 + 4 * 76, 4, le32_bytes(b));   // bob@other.org
  expect.replace(4 + 4 * 0, 4, le32_bytes(e));    // the empty line: the empty key
  expect += record_bytes(0, "alice@example.com") + record_bytes(0, "bob@other.org") + record_bytes(0, "");
  EXPECT_EQ(read_file(dir.file("users.db")), expect);
}

TEST(DbFile, CaseVariantsAreOneRecord) {
  ScratchDir dir;
  write_file(dir.file("users"), "User@Example.COM\nuser@example.com\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  std::string bytes = read_file(dir.file("users.db"));
  EXPECT_EQ(le32(bytes, 0), 1u);
  EXPECT_EQ(bytes.size(), 2040u + 8 + 17);
  EXPECT_EQ(bytes.substr(2040), record_bytes(0, "user@example.com"));
}

TEST(DbFile, SameBucketKeysAreChainedInOrder) {
  ScratchDir dir;
  auto keys = colliding_keys(3);
  write_file(dir.file("users"), keys[0] + "\n" + keys[1] + "\n" + keys[2] + "\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  std::string bytes = read_file(dir.file("users.db"));
  unsigned h = reference_bucket(keys[0].c_str());
  uint32_t first = bucket_entry(bytes, h);
  ASSERT_EQ(first, 2040u);
  uint32_t second = le32(bytes, first);
  EXPECT_EQ(second, first + 8 + keys[0].size() + 1);
  EXPECT_EQ(bytes.substr(second + 8, keys[1].size()), keys[1]);
  uint32_t third = le32(bytes, second);
  EXPECT_EQ(bytes.substr(third + 8, keys[2].size()), keys[2]);
  EXPECT_EQ(le32(bytes, third), 0u);

  DB *db = DBopen(keep(dir.file("users.db")), O_RDONLY, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(search(db, keys[2], 1), (std::vector<int>{0, 0, 0}));
  DBclose(db);
}

TEST(DbFile, OverlongLinesAreSkippedWhole) {
  ScratchDir dir;
  LogCapture log;
  std::string longest(1023, 'k'), too_long(1024, 'z');
  write_file(dir.file("users"), too_long + "\n" + longest + "\nshort\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  std::string bytes = read_file(dir.file("users.db"));
  EXPECT_EQ(le32(bytes, 0), 2u);
  EXPECT_EQ(bytes.substr(2040), record_bytes(0, longest) + record_bytes(0, "short"));
  EXPECT_NE(log.text().find("line 1)"), std::string::npos) << log.text();
}

TEST(DbSearch, FindOnlyLeavesTheFileAlone) {
  ScratchDir dir;
  write_file(dir.file("users"), "a@b.c\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  std::string before = read_file(dir.file("users.db"));
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(search(db, "missing@b.c", 1), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(search(db, "A@B.C", 1), (std::vector<int>{0, 0, 0}));
  std::vector<char> key{'A', '@', 'B', '.', 'C', '\0'};
  DBsearch(db, key.data(), 1);
  EXPECT_STREQ(key.data(), "a@b.c") << "the key is lower-cased in place";
  DBclose(db);
  EXPECT_EQ(read_file(dir.file("users.db")), before);
}

TEST(DbSearch, TypeZeroAddsMissingKeys) {
  ScratchDir dir;
  auto keys = colliding_keys(2);
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->last, 2040);
  EXPECT_EQ(search(db, keys[0], 0), (std::vector<int>{0, 0, -1}));
  EXPECT_EQ(search(db, keys[0], 0), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(search(db, "Other@Host", 0), (std::vector<int>{0, 0, -1}));
  EXPECT_EQ(search(db, keys[1], 0), (std::vector<int>{0, 0, -1}));  // chained behind keys[0]
  EXPECT_EQ(db->count, 3);
  DBclose(db);

  std::string bytes = read_file(dir.file("users.db"));
  const uint32_t a = 2040, o = a + 9 + keys[0].size(), b = o + 9 + 10;
  std::string expect(2040, '\0');
  expect.replace(0, 4, le32_bytes(3));
  expect.replace(4 + 4 * reference_bucket(keys[0].c_str()), 4, le32_bytes(a));
  expect.replace(4 + 4 * reference_bucket("other@host"), 4, le32_bytes(o));
  expect += record_bytes(b, keys[0]) + record_bytes(0, "other@host") + record_bytes(0, keys[1]);
  EXPECT_EQ(bytes, expect);

  // the same file as a list build of the same keys in the same order
  write_file(dir.file("list"), keys[0] + "\nOther@Host\n" + keys[1] + "\n");
  ASSERT_EQ(make_db(dir.file("built.db"), dir.file("list")), 0);
  EXPECT_EQ(read_file(dir.file("built.db")), expect);
}

TEST(DbSearch, OverlongKey) {
  ScratchDir dir;
  LogCapture log;
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  std::string key(1024, 'x');
  EXPECT_EQ(search(db, key, 1), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(search(db, key, 0)[0], -1);
  DBclose(db);
  EXPECT_EQ(read_file(dir.file("users.db")), std::string(2040, '\0'));
  EXPECT_NE(log.text().find("Users DB key too long"), std::string::npos);
}

TEST(DbOperation, DeleteBlanksInPlace) {
  ScratchDir dir;
  write_file(dir.file("users"), "keep@x\ngone@x\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  std::string before = read_file(dir.file("users.db"));
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  std::string list = key_list({"GONE@X"});
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, list.c_str(), nullptr, dir.file("export").c_str()), 0);
  EXPECT_EQ(search(db, "gone@x", 1), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(search(db, "keep@x", 1), (std::vector<int>{0, 0, 0}));
  testing::internal::CaptureStdout();
  EXPECT_EQ(DBoperation(db, DB_OP_PRINT, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "keep@x\n");
  DBclose(db);

  std::string after = read_file(dir.file("users.db"));
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(le32(after, 0), 2u) << "the count still counts the deleted record";
  std::string expect = before;
  expect.replace(2040 + 15 + 8, 6, "      ");
  EXPECT_EQ(after, expect);
  EXPECT_EQ(read_file(dir.file("export")), "keep@x\n");

  // a deleted key added again goes to the end of its chain
  db = DBopen(keep(dir.file("users.db")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(search(db, "gone@x", 0), (std::vector<int>{0, 0, -1}));
  DBclose(db);
  after = read_file(dir.file("users.db"));
  EXPECT_EQ(after.size(), before.size() + 15);
  EXPECT_EQ(le32(after, 2040 + 15), static_cast<uint32_t>(before.size()));
}

TEST(DbOperation, DeleteByPattern) {
  ScratchDir dir;
  write_file(dir.file("users"), "a@one.example\nb@two.example\nc@one.example\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  // the pattern wins over the list; matching ignores case
  std::string list = key_list({"b@two.example"});
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, list.c_str(), "@ONE\\.,^zzz", nullptr), 0);
  testing::internal::CaptureStdout();
  DBoperation(db, DB_OP_PRINT, nullptr, nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "b@two.example\n");
  // an empty pattern is no pattern: it must not delete everything
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, nullptr, "", nullptr), -1);
  EXPECT_EQ(search(db, "b@two.example", 1)[1], 0);
  DBclose(db);
}

TEST(DbOperation, AddAndArgumentChecks) {
  ScratchDir dir;
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  std::string empty = key_list({});
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, empty.c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(DBoperation(db, DB_OP_REBUILD, nullptr, nullptr, nullptr), -1);
  std::string list = key_list({"X@Y", "z@y", "x@y"});
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, list.c_str(), "ignored", nullptr), 0);
  EXPECT_EQ(db->count, 0) << "with a pattern, an add changes nothing";
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, list.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(db->count, 2);
  DBclose(db);

  write_file(dir.file("list"), "x@y\nz@y\n");
  ASSERT_EQ(make_db(dir.file("built.db"), dir.file("list")), 0);
  EXPECT_EQ(read_file(dir.file("users.db")), read_file(dir.file("built.db")));
}

TEST(DbOperation, RebuildEqualsAFreshBuild) {
  ScratchDir dir;
  write_file(dir.file("old"), "old1@x\nold2@x\n");
  write_file(dir.file("new"), "n1@x\nN2@x\nn1@x\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("old")), 0);
  ASSERT_EQ(make_db(dir.file("fresh.db"), dir.file("new")), 0);
  std::string list = key_list({"n1@x", "N2@x", "n1@x"});
  const std::string path = dir.file("users.db");  // the handle keeps the name
  for (int flags : {O_RDWR, O_RDONLY}) {
    DB *db = DBopen(path.c_str(), flags, 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(DBoperation(db, DB_OP_REBUILD, list.c_str(), nullptr, nullptr), 0) << flags;
    EXPECT_EQ(db->count, 2);
    EXPECT_EQ(search(db, "old1@x", 1)[1], -1);
    EXPECT_EQ(search(db, "n2@x", 1)[1], 0);
    DBclose(db);
    EXPECT_EQ(read_file(dir.file("users.db")), read_file(dir.file("fresh.db"))) << flags;
  }
}

TEST(DbOperation, ExportKeepsTheOldFile) {
  ScratchDir dir;
  write_file(dir.file("users"), "one@x\ntwo@x\nthree@x\n");
  ASSERT_EQ(make_db(dir.file("users.db"), dir.file("users")), 0);
  write_file(dir.file("export"), "previous content\n");
  ASSERT_EQ(chmod(dir.file("export").c_str(), 0640), 0);
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(DBoperation(db, 99, nullptr, nullptr, dir.file("export").c_str()), 0);
  EXPECT_EQ(read_file(dir.file("export.back")), "previous content\n");
  EXPECT_EQ(read_file(dir.file("export")), "one@x\ntwo@x\nthree@x\n") << "file order";
  struct stat st;
  ASSERT_EQ(stat(dir.file("export").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // an export that cannot be created is reported, the operation still succeeds
  LogCapture log;
  EXPECT_EQ(DBoperation(db, 99, nullptr, nullptr, dir.file("no/such/dir").c_str()), 0);
  EXPECT_NE(log.text().find("Users DB export error"), std::string::npos);
  DBclose(db);
}

TEST(DbOpen, Failures) {
  ScratchDir dir;
  LogCapture log;
  EXPECT_EQ(DBopen(keep(dir.file("no/such.db")), O_RDWR | O_CREAT, 0600), nullptr);
  EXPECT_NE(log.text().find(std::string("Users DB open error. ") + strerror(ENOENT) + "\n"),
            std::string::npos)
      << log.text();
  // an empty file opened read-only cannot get its header
  write_file(dir.file("empty.db"), "");
  EXPECT_EQ(DBopen(keep(dir.file("empty.db")), O_RDONLY, 0), nullptr);
  // shorter than its header: refused, never read past the end
  write_file(dir.file("short.db"), std::string(100, '\0'));
  EXPECT_EQ(DBopen(keep(dir.file("short.db")), O_RDWR, 0), nullptr);
  EXPECT_NE(log.text().find("Users DB damaged"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("short.db")), std::string(100, '\0'));
}

TEST(DbLock, HeldFromOpenToClose) {
  ScratchDir dir;
  DB *db = DBopen(keep(dir.file("users.db")), O_RDONLY | O_CREAT, 0600);
  ASSERT_EQ(db, nullptr) << "read-only create cannot write the header";
  db = DBopen(keep(dir.file("users.db")), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  DBclose(db);
  db = DBopen(keep(dir.file("users.db")), O_RDONLY, 0);  // also for read-only opens
  ASSERT_NE(db, nullptr);
  int other = open(dir.file("users.db").c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), -1);
  DBclose(db);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

TEST(DbDamaged, OffsetsOutsideTheFile) {
  ScratchDir dir;
  LogCapture log;
  // two keys of one chain; a third of the same bucket walks the whole chain
  const auto keys = colliding_keys(3);
  write_file(dir.file("users"), keys[0] + "\n" + keys[1] + "\n");
  ASSERT_EQ(make_db(dir.file("good.db"), dir.file("users")), 0);
  const std::string good = read_file(dir.file("good.db"));
  const unsigned h = reference_bucket(keys[0].c_str());
  ASSERT_EQ(bucket_entry(good, h), 2040u);

  struct Damage {
    const char *what;
    std::string bytes;
  };
  std::vector<Damage> cases;
  std::string b = good;
  b.replace(4 + 4 * h, 4, le32_bytes(0x7ffffff0));
  cases.push_back({"table entry past the end", b});
  b = good;
  b.replace(4 + 4 * h, 4, le32_bytes(100));
  cases.push_back({"table entry inside the header", b});
  b = good;
  b.replace(2040, 4, le32_bytes(0xfffffff0));
  cases.push_back({"next past the end", b});
  b = good;
  b.replace(2040, 4, le32_bytes(2040));
  cases.push_back({"chain loop", b});
  b = good;
  b.replace(2044, 4, le32_bytes(0x7fffffff));
  cases.push_back({"size past the end", b});
  b = good;
  b.replace(2044, 4, le32_bytes(0));
  cases.push_back({"size zero", b});
  b = good.substr(0, good.size() - 3);
  cases.push_back({"truncated record", b});

  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir.file("bad.db"), c.bytes);
    DB *db = DBopen(keep(dir.file("bad.db")), O_RDWR, 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(search(db, keys[2], 1), (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(search(db, keys[2], 0)[0], -1);
    EXPECT_EQ(DBmake(db, dir.file("users").c_str()), -1);
    std::string list = key_list({keys[2]});
    EXPECT_EQ(DBoperation(db, DB_OP_ADD, list.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(DBoperation(db, DB_OP_DELETE, list.c_str(), nullptr, nullptr), -1);
    DBclose(db);
    EXPECT_EQ(read_file(dir.file("bad.db")), c.bytes) << "nothing written into a damaged file";
  }
  EXPECT_NE(log.text().find("Users DB damaged("), std::string::npos);

  // sequential scans stop at a record running past the end
  b = good;
  b.replace(2044, 4, le32_bytes(0x7fffffff));
  write_file(dir.file("bad.db"), b);
  DB *db = DBopen(keep(dir.file("bad.db")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(DBoperation(db, DB_OP_PRINT, nullptr, nullptr, nullptr), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, nullptr, ".", nullptr), -1);
  EXPECT_EQ(DBoperation(db, 99, nullptr, nullptr, dir.file("export").c_str()), -1);
  DBclose(db);
}

// The fast build must write exactly what the record-by-record build writes:
// a fresh file, then a file that already holds records, deletions and
// additions made by search.
TEST(DbMake, ByteIdenticalToTheStraightforwardBuild) {
  ScratchDir dir;
  std::mt19937 rng(20261206);
  auto make_list = [&](int n, int seed_base) {
    std::string list;
    for (int i = 0; i < n; ++i) {
      int id = seed_base + static_cast<int>(rng() % (n * 3 / 4 + 1));  // duplicates on purpose
      std::string key = "User" + std::to_string(id) + "@Host" + std::to_string(id % 97) + ".Example";
      if (rng() % 3 == 0)
        for (auto &c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      list += key + (rng() % 5 == 0 ? "\r\n" : "\n");
      if (rng() % 1000 == 0) list += "\n";
    }
    return list;
  };
  write_file(dir.file("list1"), make_list(20000, 0));
  write_file(dir.file("list2"), make_list(5000, 10000) + "no line end");

  ASSERT_EQ(make_db(dir.file("fast.db"), dir.file("list1")), 0);
  ASSERT_EQ(make_db(dir.file("ref.db"), std::string("/nonexistent")), 0);  // header only
  ASSERT_EQ(reference_dbmake(dir.file("ref.db").c_str(), dir.file("list1").c_str()), 0);
  ASSERT_EQ(read_file(dir.file("fast.db")), read_file(dir.file("ref.db")));

  for (const std::string name : {"fast.db", "ref.db"}) {
    DB *db = DBopen(keep(dir.file(name)), O_RDWR, 0);
    ASSERT_NE(db, nullptr);
    search(db, "Late@Addition", 0);
    std::string del = key_list({"user5@host5.example", "USER77@HOST77.EXAMPLE"});
    ASSERT_EQ(DBoperation(db, DB_OP_DELETE, del.c_str(), nullptr, nullptr), 0);
    DBclose(db);
  }
  ASSERT_EQ(make_db(dir.file("fast.db"), dir.file("list2")), 0);
  ASSERT_EQ(reference_dbmake(dir.file("ref.db").c_str(), dir.file("list2").c_str()), 0);
  std::string fast = read_file(dir.file("fast.db")), ref = read_file(dir.file("ref.db"));
  ASSERT_EQ(fast.size(), ref.size());
  EXPECT_TRUE(fast == ref);
  EXPECT_GT(le32(fast, 0), 10000u);
}
