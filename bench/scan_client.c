/* The floor for a per-file scanner: walks a tree and asks clamd to scan each
 * regular file with one connection and one "SCAN path" command, as ornixfs
 * does, with no other work. Used by bench/scan. */
#define _GNU_SOURCE
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char *sock_path;
static long found, failed;

static int scan_one(const char *path, const struct stat *st, int type, struct FTW *ftw) {
  (void)st;
  (void)ftw;
  if (type != FTW_F) return 0;
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof(sa));
  sa.sun_family = AF_UNIX;
  strncpy(sa.sun_path, sock_path, sizeof(sa.sun_path) - 1);
  if (s < 0 || connect(s, (struct sockaddr *)&sa, sizeof(sa)) != 0) {
    failed++;
    if (s >= 0) close(s);
    return 0;
  }
  char cmd[8300];
  int n = snprintf(cmd, sizeof(cmd), "SCAN %s\n", path);
  char reply[1024] = {0};
  if (write(s, cmd, n) != n || read(s, reply, sizeof(reply) - 1) <= 0)
    failed++;
  else if (strstr(reply, "FOUND"))
    found++;
  close(s);
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s SOCKET DIR\n", argv[0]);
    return 2;
  }
  sock_path = argv[1];
  if (nftw(argv[2], scan_one, 32, FTW_PHYS) != 0) return 2;
  printf("found %ld failed %ld\n", found, failed);
  return failed ? 1 : 0;
}
