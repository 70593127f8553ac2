// A scan-result cache file of arbitrary bytes: lookup, deletion and insertion
// must treat whatever links it holds as a miss or an unlinked append, and
// never read or write outside the file's records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cache_check.h"
#include "log.h"

namespace {

const std::string &root() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/ornix-cache-fuzz-XXXXXX";
    return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
  }();
  return dir;
}

std::string key_from(const uint8_t *data, size_t size, unsigned salt) {
  static const char hex[] = "0123456789abcdef";
  std::string key = "abcd";
  for (int i = 0; i < 28; i++) {
    unsigned v = (size ? data[(i + salt) % size] : 0) + salt * 7 + i;
    key += hex[v & 15];
  }
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 40000) return 0;
  LogLevel = 0;
  const std::string dir = root() + "/cache";
  const std::string sub = dir + "/ab";
  const std::string file = sub + "/cd.dat";
  mkdir(dir.c_str(), 0700);
  mkdir(sub.c_str(), 0700);
  FILE *f = fopen(file.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  std::string k1 = key_from(data, size, 1), k2 = key_from(data, size, 2);
  CDBcheck_dir(dir.c_str(), k1.c_str());
  CDBdel_dir(dir.c_str(), k1.c_str());
  CDBadd_dir(dir.c_str(), k2.c_str());
  CDBcheck_dir(dir.c_str(), k2.c_str());
  CDBdel_dir(dir.c_str(), k2.c_str());
  CDBadd_dir(dir.c_str(), k1.c_str());
  CDBcheck_dir(dir.c_str(), k1.c_str());

  unlink(file.c_str());
  rmdir(sub.c_str());
  rmdir(dir.c_str());
  return 0;
}
