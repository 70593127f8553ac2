// Users database files of any content: every operation must stay within the
// file and end, whatever the table, chain and size fields say.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db.h"
#include "log.h"

namespace {

struct Paths {
  std::string db, list, out;
};

const Paths &paths() {
  static Paths p = [] {
    char dir[] = "/tmp/db_file_fuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    Paths q{std::string(dir) + "/users.db", std::string(dir) + "/users", std::string(dir) + "/export"};
    FILE *fp = fopen(q.list.c_str(), "w");
    if (fp == nullptr) abort();
    fputs("a@b.c\nUser@Example.COM\n\nzz@top\n", fp);
    fclose(fp);
    static const std::string top = dir;
    atexit([] { std::filesystem::remove_all(top); });
    // the print operation writes to standard output
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    LogLevel = 0;
    return q;
  }();
  return p;
}

void put_file(const std::string &name, const uint8_t *data, size_t size) {
  FILE *fp = fopen(name.c_str(), "wb");
  if (fp == nullptr || fwrite(data, 1, size, fp) != size) abort();
  fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Paths &p = paths();
  static const char keys[] = "a@b.c\0zz@top\0\0";
  put_file(p.db, data, size);
  if (DB *db = DBopen(p.db.c_str(), O_RDWR, 0)) {
    char k1[] = "A@B.C", k2[] = "new@key", k3[] = "";
    DBsearch(db, k1, 1);
    DBsearch(db, k2, 0);
    DBsearch(db, k3, 0);
    DBoperation(db, DB_OP_PRINT, nullptr, nullptr, nullptr);
    DBoperation(db, DB_OP_DELETE, keys, nullptr, nullptr);
    DBoperation(db, DB_OP_DELETE, nullptr, "^u,top$", p.out.c_str());
    DBoperation(db, DB_OP_ADD, keys, nullptr, nullptr);
    DBmake(db, p.list.c_str());
    DBclose(db);
  }
  put_file(p.db, data, size);
  if (DB *db = DBopen(p.db.c_str(), O_RDWR, 0)) {
    DBoperation(db, DB_OP_REBUILD, keys, nullptr, p.out.c_str());
    DBclose(db);
  }
  return 0;
}
