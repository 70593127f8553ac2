// Hashed users database: file bytes, chains, search, open failures,
// locking, and the fast build against the straightforward one.
#include <sys/file.h>
#include <sys/wait.h>

#include <cctype>
#include <csignal>
#include <random>

#include "db_test_util.h"

using namespace db_test;

// The bucket numbers of the file tests below are worked out by hand; here
// the hash of the classic ELF form and bytes above 127 taken unsigned,
// whatever the signedness of char.
TEST(DbHash, ClassicElfHashModulo509) {
  EXPECT_EQ(mkhash("printf"), 0x077905a6 % 509);
  EXPECT_EQ(mkhash("USER@Example.COM"), 234);
  EXPECT_EQ(mkhash("\xe9t\xe9"), static_cast<int>(reference_bucket("\xe9t\xe9")));
  EXPECT_EQ(reference_bucket("\xe9t\xe9"), ((0xe9u << 8) + ('t' << 4) + 0xe9u) % 509);
}

TEST(DbFile, BytesOfABuild) {
  ScratchDir dir;
  const std::string empty = build(dir, "empty", "");
  EXPECT_EQ(read_file(empty), header_bytes(0, {}));
  struct stat st;
  ASSERT_EQ(stat(empty.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // a list that cannot be opened leaves the database as it is
  ASSERT_EQ(make_db(dir.file("other.db"), dir.file("missing")), 0);
  EXPECT_EQ(read_file(dir.file("other.db")), header_bytes(0, {}));

  // lower-cased, CR LF taken off, case variants one record, the empty line the empty key
  const std::string db = build(dir, "users", "Alice@Example.COM\r\nbob@other.org\n\nALICE@example.com\nbob@other.org");
  const uint32_t a = 2040, b = a + 8 + 18, e = b + 8 + 14;
  EXPECT_EQ(read_file(db), header_bytes(3, {{209, a}, {76, b}, {0, e}}) + record_bytes(0, "alice@example.com") +
                               record_bytes(0, "bob@other.org") + record_bytes(0, ""));
}

TEST(DbSearch, TypeZeroAddsMissingKeysAtTheEndOfTheirChain) {
  ScratchDir dir;
  auto keys = colliding_keys(2);
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->last, 2040);
  EXPECT_EQ(search(db, keys[0], 0), (std::vector<int>{0, 0, -1}));
  EXPECT_EQ(search(db, keys[0], 0), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(search(db, "Other@Host", 0), (std::vector<int>{0, 0, -1}));
  EXPECT_EQ(search(db, keys[1], 0), (std::vector<int>{0, 0, -1}));
  EXPECT_EQ(db->count, 3);
  // type 1 only looks: the bytes below are what the adds wrote
  EXPECT_EQ(search(db, "missing@b.c", 1), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(search(db, keys[1], 1), (std::vector<int>{0, 0, 0}));
  char key[] = "OTHER@host";
  EXPECT_EQ(DBsearch(db, key, 1), 0);
  EXPECT_STREQ(key, "other@host") << "the key is lower-cased in place";
  DBclose(db);

  const uint32_t a = 2040, o = a + 9 + keys[0].size(), b = o + 9 + 10;
  const std::string expect =
      header_bytes(3, {{reference_bucket(keys[0].c_str()), a}, {reference_bucket("other@host"), o}}) +
      record_bytes(b, keys[0]) + record_bytes(0, "other@host") + record_bytes(0, keys[1]);
  EXPECT_EQ(read_file(dir.file("users.db")), expect);
  // the same file as a list build of the same keys in the same order
  EXPECT_EQ(read_file(build(dir, "list", keys[0] + "\nOther@Host\n" + keys[1] + "\n")), expect);
}

TEST(DbFile, OverlongKeysAreRefused) {
  ScratchDir dir;
  LogCapture log;
  const std::string longest(1023, 'k'), too_long(1024, 'z');
  const std::string path = build(dir, "users", too_long + "\n" + longest + "\nshort\n");
  const std::string bytes = read_file(path);
  EXPECT_EQ(le32(bytes, 0), 2u);
  EXPECT_EQ(bytes.substr(2040), record_bytes(0, longest) + record_bytes(0, "short"));
  log.expect("line 1)");

  DB *db = DBopen(keep(path), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(search(db, too_long, 1), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(search(db, too_long, 0)[0], -1);
  DBclose(db);
  EXPECT_EQ(read_file(path), bytes);
  log.expect("Users DB key too long");
}

TEST(DbOpen, Failures) {
  ScratchDir dir;
  LogCapture log;
  EXPECT_EQ(DBopen(keep(dir.file("no/such.db")), O_RDWR | O_CREAT, 0600), nullptr);
  log.expect(std::string("Users DB open error. ") + strerror(ENOENT) + "\n");
  // read-only, an empty or new file cannot get its header
  write_file(dir.file("empty.db"), "");
  EXPECT_EQ(DBopen(keep(dir.file("empty.db")), O_RDONLY, 0), nullptr);
  EXPECT_EQ(DBopen(keep(dir.file("new.db")), O_RDONLY | O_CREAT, 0600), nullptr);
  // shorter than its header: refused, never read past the end
  write_file(dir.file("short.db"), std::string(100, '\0'));
  EXPECT_EQ(DBopen(keep(dir.file("short.db")), O_RDWR, 0), nullptr);
  log.expect("Users DB damaged");
  EXPECT_EQ(read_file(dir.file("short.db")), std::string(100, '\0'));
}

TEST(DbLock, ReadOnlyHandleHoldsItUntilClose) {
  ScratchDir dir;
  const std::string path = build(dir, "users", "");
  DB *db = DBopen(keep(path), O_RDONLY, 0);
  ASSERT_NE(db, nullptr);
  int other = open(path.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  DBclose(db);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

// Is process `pid` waiting for a flock (a "->" line of /proc/locks)?
static bool waits_for_flock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  const std::string who = " " + std::to_string(pid) + " ";
  for (std::string line; std::getline(locks, line);)
    if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
        line.find(who) != std::string::npos)
      return true;
  return false;
}

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
  for (int i = 0; i < 1000 && !(waiting = waits_for_flock(child)); ++i) usleep(10000);  // at most 10 s
  EXPECT_TRUE(waiting) << "the second DBopen should wait for the lock";
  // what the holder adds meanwhile comes first in the file
  EXPECT_EQ(search(db, "parent@key", 0), (std::vector<int>{0, 0, -1}));
  DBclose(db);
  int status = -1, reaped = 0;
  for (int i = 0; i < 1000 && (reaped = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(10000);
  if (reaped != child) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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
  ASSERT_EQ(make_db(dir.file("ref.db"), dir.file("missing")), 0);  // header only
  ASSERT_EQ(reference_dbmake(dir.file("ref.db").c_str(), dir.file("list1").c_str()), 0);
  ASSERT_TRUE(read_file(dir.file("fast.db")) == read_file(dir.file("ref.db")));

  for (const char *name : {"fast.db", "ref.db"}) {
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
  EXPECT_EQ(fast.size(), ref.size());
  EXPECT_TRUE(fast == ref);
  EXPECT_GT(le32(fast, 0), 10000u);
}
