// Prints "<32 hex digits>  <file>" for each file with the suite's md5sum,
// the same line coreutils md5sum prints, so the bench can compare both.
#include <cstdio>

#include "md5.h"

int main(int argc, char **argv) {
  int rc = 0;
  for (int i = 1; i < argc; ++i) {
    unsigned char d[16];
    if (md5sum(argv[i], d) != 0) {
      std::fprintf(stderr, "md5sum_tool: cannot digest %s\n", argv[i]);
      rc = 1;
      continue;
    }
    char hex[33];
    md5hex(d, hex);
    std::printf("%s  %s\n", hex, argv[i]);
  }
  return rc;
}
