// Users database files of any content: every operation must stay within the
// file and end, whatever the table, chain and size fields say.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "db.h"
#include "log.h"

namespace {

struct Paths {
  std::string dir, db, list, out;
};

const Paths &paths() {
  static Paths p = [] {
    Paths q;
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/db_file_fuzz.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    q.dir = tmpl;
    q.db = q.dir + "/users.db";
    q.list = q.dir + "/users";
    q.out = q.dir + "/export";
    FILE *fp = fopen(q.list.c_str(), "w");
    if (fp == nullptr) abort();
    fputs("a@b.c\nUser@Example.COM\n\nzz@top\n", fp);
    fclose(fp);
    // the print operation writes to standard output
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    LogLevel = 0;
    return q;
  }();
  return p;
}

void put_file(const std::string &name, const uint8_t *data, size_t size) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
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
