// Times the users list build (DBmake) against the straightforward
// record-by-record build on one list of distinct addresses, checks that both
// files are byte-identical and prints both times and their ratio.
//   dbmake_bench [count [work-directory]]
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "db.h"
#include "db_reference.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? strtol(argv[1], nullptr, 10) : 100000;
  std::string base = argc > 2 ? argv[2] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  if (count <= 0) {
    fprintf(stderr, "usage: %s [count [work-directory]]\n", argv[0]);
    return 2;
  }
  std::string tmpl = base + "/dbmake_bench.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    fprintf(stderr, "mkdtemp %s: %s\n", tmpl.c_str(), strerror(errno));
    return 2;
  }
  const std::string dir = tmpl, list = dir + "/users", fast = dir + "/fast.db", ref = dir + "/ref.db";
  {
    std::ofstream out(list);
    for (long i = 0; i < count; ++i)
      out << "User" << i * 7919 % 1000003 << "." << i << "@Mail" << i % 211 << ".Example.COM\n";
    if (!out.good()) {
      fprintf(stderr, "cannot write %s\n", list.c_str());
      return 2;
    }
  }

  auto t0 = std::chrono::steady_clock::now();
  DB *db = DBopen(fast.c_str(), O_RDWR | O_CREAT, 0600);
  int rc = db ? DBmake(db, list.c_str()) : -1;
  DBclose(db);
  const double t_fast = seconds_since(t0);

  t0 = std::chrono::steady_clock::now();
  int ref_rc = reference_dbmake(ref.c_str(), list.c_str());
  const double t_ref = seconds_since(t0);

  const bool same = rc == 0 && ref_rc == 0 && slurp(fast) == slurp(ref);
  printf("DBmake of %ld distinct addresses: %.3f s\n", count, t_fast);
  printf("straightforward chain-walking build: %.3f s\n", t_ref);
  printf("ratio straightforward/DBmake: %.1f\n", t_fast > 0 ? t_ref / t_fast : 0.0);
  printf("files byte-identical: %s\n", same ? "yes" : "NO");
  unlink(list.c_str());
  unlink(fast.c_str());
  unlink(ref.c_str());
  rmdir(dir.c_str());
  return same ? 0 : 1;
}
