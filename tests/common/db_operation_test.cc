// Users database maintenance (add, rebuild, delete, print, export) and
// damaged files.
#include <gtest/gtest.h>

#include "db.h"
#include "db_reference.h"
#include "db_test_util.h"

using namespace db_test;

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
