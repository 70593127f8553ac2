// Hashed users database: file bytes, chains, search, open failures,
// locking, and the fast build against the straightforward one.
#include <sys/file.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db.h"
#include "db_reference.h"
#include "db_test_util.h"

using namespace db_test;

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

namespace {

// Is process `pid` waiting for a flock (a "->" line of /proc/locks)?
bool waits_for_flock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  const std::string who = " " + std::to_string(pid) + " ";
  while (std::getline(locks, line))
    if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
        line.find(who) != std::string::npos)
      return true;
  return false;
}

// Waits (bounded) for the child; kills it when it does not end. -1 if killed.
int reap(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

TEST(DbLock, AnotherProcessWaitsForTheHandle) {
  ScratchDir dir;
  const std::string path = dir.file("users.db");
  DB *db = DBopen(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    DB *other = DBopen(path.c_str(), O_RDWR, 0);
    if (other == nullptr) _exit(2);
    char key[] = "child@key";
    int rc = DBsearch(other, key, 0);
    DBclose(other);
    _exit(rc == 0 && DBmatch == -1 ? 0 : 1);
  }
  bool waiting = false;
  for (int i = 0; i < 1000 && !waiting; ++i) {  // at most 10 s
    waiting = waits_for_flock(child);
    if (!waiting) usleep(10000);
  }
  EXPECT_TRUE(waiting) << "the second DBopen should wait for the lock";
  // what the holder adds meanwhile comes first in the file
  EXPECT_EQ(search(db, "parent@key", 0), (std::vector<int>{0, 0, -1}));
  DBclose(db);
  EXPECT_EQ(reap(child), 0);
  std::string bytes = read_file(path);
  EXPECT_EQ(le32(bytes, 0), 2u);
  EXPECT_EQ(bytes.substr(2040), record_bytes(0, "parent@key") + record_bytes(0, "child@key"));
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
