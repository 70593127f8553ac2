// Users database maintenance (add, rebuild, delete, print, export) and
// damaged files.
#include "db_test_util.h"

using namespace db_test;

TEST(DbOperation, DeleteBlanksInPlace) {
  ScratchDir dir;
  const std::string path = build(dir, "users", "keep@x\ngone@x\n");
  const std::string before = read_file(path);
  DB *db = DBopen(keep(path), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  std::string list = key_list({"GONE@X"});
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, list.c_str(), nullptr, dir.file("export").c_str()), 0);
  EXPECT_EQ(search(db, "gone@x", 1), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(printed(db), "keep@x\n");
  DBclose(db);
  // the key blanked with spaces; the count still counts the deleted record
  std::string expect = before;
  expect.replace(2040 + 15 + 8, 6, "      ");
  EXPECT_EQ(read_file(path), expect);
  EXPECT_EQ(read_file(dir.file("export")), "keep@x\n");

  // a deleted key added again goes to the end of its chain
  db = DBopen(keep(path), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(search(db, "gone@x", 0), (std::vector<int>{0, 0, -1}));
  DBclose(db);
  std::string after = read_file(path);
  EXPECT_EQ(after.size(), before.size() + 15);
  EXPECT_EQ(le32(after, 2040 + 15), static_cast<uint32_t>(before.size()));
}

TEST(DbOperation, DeleteByPattern) {
  ScratchDir dir;
  DB *db = DBopen(keep(build(dir, "users", "a@one.example\nb@two.example\nc@one.example\n")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  // the pattern wins over the list; matching ignores case
  std::string list = key_list({"b@two.example"});
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, list.c_str(), "@ONE\\.,^zzz", nullptr), 0);
  EXPECT_EQ(printed(db), "b@two.example\n");
  // an empty pattern is no pattern: it must not delete everything
  EXPECT_EQ(DBoperation(db, DB_OP_DELETE, nullptr, "", nullptr), -1);
  EXPECT_EQ(printed(db), "b@two.example\n");
  DBclose(db);
}

TEST(DbOperation, AddAndRebuildEqualAFreshBuild) {
  ScratchDir dir;
  const std::string fresh = read_file(build(dir, "new", "n1@x\nN2@x\nn1@x\n"));
  const std::string list = key_list({"n1@x", "N2@x", "n1@x"}), empty = key_list({});
  DB *db = DBopen(keep(dir.file("users.db")), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr);
  for (int op : {DB_OP_ADD, DB_OP_DELETE, DB_OP_REBUILD})
    EXPECT_EQ(DBoperation(db, op, nullptr, nullptr, nullptr), -1) << "no list, op " << op;
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, empty.c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, list.c_str(), "ignored", nullptr), 0);
  EXPECT_EQ(db->count, 0) << "with a pattern, an add changes nothing";
  EXPECT_EQ(DBoperation(db, DB_OP_ADD, list.c_str(), nullptr, nullptr), 0);
  DBclose(db);
  EXPECT_EQ(read_file(dir.file("users.db")), fresh);

  const std::string path = build(dir, "old", "old1@x\nold2@x\n");
  for (int flags : {O_RDWR, O_RDONLY}) {
    db = DBopen(keep(path), flags, 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(DBoperation(db, DB_OP_REBUILD, list.c_str(), nullptr, nullptr), 0) << flags;
    EXPECT_EQ(db->count, 2);
    EXPECT_EQ(search(db, "old1@x", 1)[1], -1);
    EXPECT_EQ(search(db, "n2@x", 1)[1], 0);
    DBclose(db);
    EXPECT_EQ(read_file(path), fresh) << flags;
  }
}

TEST(DbOperation, ExportKeepsTheOldFile) {
  ScratchDir dir;
  const std::string out = dir.file("export");
  write_file(out, "previous content\n");
  ASSERT_EQ(chmod(out.c_str(), 0640), 0);
  DB *db = DBopen(keep(build(dir, "users", "one@x\ntwo@x\nthree@x\n")), O_RDWR, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(DBoperation(db, 99, nullptr, nullptr, out.c_str()), 0);
  EXPECT_EQ(read_file(out + ".back"), "previous content\n");
  EXPECT_EQ(read_file(out), "one@x\ntwo@x\nthree@x\n") << "file order";
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // an export that cannot be created is reported, the operation still succeeds
  LogCapture log;
  EXPECT_EQ(DBoperation(db, 99, nullptr, nullptr, dir.file("no/such/dir").c_str()), 0);
  log.expect("Users DB export error");
  DBclose(db);
}

TEST(DbDamaged, OffsetsOutsideTheFile) {
  ScratchDir dir;
  LogCapture log;
  // two keys of one chain; a third of the same bucket walks the whole chain
  const auto keys = colliding_keys(3);
  const std::string users = dir.file("users"), bad = dir.file("bad.db");
  const std::string good = read_file(build(dir, "users", keys[0] + "\n" + keys[1] + "\n"));
  const size_t head = 4 + 4 * reference_bucket(keys[0].c_str());
  ASSERT_EQ(le32(good, head), 2040u);
  struct Damage {
    const char *what;
    size_t at;
    uint32_t value;
  } cases[] = {{"table entry past the end", head, 0x7ffffff0}, {"table entry inside the header", head, 100},
               {"next past the end", 2040, 0xfffffff0},        {"chain loop", 2040, 2040},
               {"size past the end", 2044, 0x7fffffff},        {"size zero", 2044, 0},
               {"truncated record", 0, 0}};
  for (const Damage &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = c.at ? std::string(good).replace(c.at, 4, le32_bytes(c.value))
                                   : good.substr(0, good.size() - 3);
    write_file(bad, bytes);
    DB *db = DBopen(keep(bad), O_RDWR, 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(search(db, keys[2], 1), (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(search(db, keys[2], 0)[0], -1);
    EXPECT_EQ(DBmake(db, users.c_str()), -1);
    std::string list = key_list({keys[2]});
    EXPECT_EQ(DBoperation(db, DB_OP_ADD, list.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(DBoperation(db, DB_OP_DELETE, list.c_str(), nullptr, nullptr), -1);
    // sequential scans stop at a record running past the end
    if (c.at == 2044 && c.value) {
      int rc = 0;
      printed(db, &rc);
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(DBoperation(db, DB_OP_DELETE, nullptr, ".", nullptr), -1);
      EXPECT_EQ(DBoperation(db, 99, nullptr, nullptr, dir.file("export").c_str()), -1);
    }
    DBclose(db);
    EXPECT_EQ(read_file(bad), bytes) << "nothing written into a damaged file";
  }
  log.expect("Users DB damaged(");
}
