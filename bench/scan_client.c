/* The floor for a per-file scanner: walks a tree and asks clamd to scan each
 * regular file with one connection and one "SCAN path" command, as ornixfs
 * does, with no other work. With -j N it keeps N such requests in flight on
 * separate connections, driven by one poll. Used by bench/scan. */
#define _GNU_SOURCE
#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define MAX_JOBS 64

static const char *sock_path;
static long found, failed;
static char **files;
static size_t nfiles, cap;

static int add_file(const char *path, const struct stat *st, int type, struct FTW *ftw) {
  (void)st;
  (void)ftw;
  if (type != FTW_F) return 0;
  if (nfiles == cap) {
    cap = cap ? cap * 2 : 1024;
    files = realloc(files, cap * sizeof *files);
    if (files == NULL) return 1;
  }
  files[nfiles++] = strdup(path);
  return 0;
}

/* Connects and sends "SCAN path"; the socket, or -1 (counted as failed). */
static int start(const char *path) {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof(sa));
  sa.sun_family = AF_UNIX;
  strncpy(sa.sun_path, sock_path, sizeof(sa.sun_path) - 1);
  char cmd[8300];
  int n = snprintf(cmd, sizeof(cmd), "SCAN %s\n", path);
  if (s < 0 || connect(s, (struct sockaddr *)&sa, sizeof(sa)) != 0 || write(s, cmd, n) != n) {
    failed++;
    if (s >= 0) close(s);
    return -1;
  }
  return s;
}

static void finish(int s) {
  char reply[1024] = {0};
  if (read(s, reply, sizeof(reply) - 1) <= 0)
    failed++;
  else if (strstr(reply, "FOUND"))
    found++;
  close(s);
}

int main(int argc, char **argv) {
  int jobs = 1;
  if (argc == 5 && strcmp(argv[1], "-j") == 0) {
    jobs = atoi(argv[2]);
    argv += 2;
    argc -= 2;
  }
  if (argc != 3 || jobs < 1 || jobs > MAX_JOBS) {
    fprintf(stderr, "usage: %s [-j N] SOCKET DIR\n", argv[0]);
    return 2;
  }
  sock_path = argv[1];
  if (nftw(argv[2], add_file, 32, FTW_PHYS) != 0) return 2;
  struct pollfd fds[MAX_JOBS];
  int live = 0;
  size_t next = 0;
  while (next < nfiles || live > 0) {
    while (live < jobs && next < nfiles) {
      int s = start(files[next++]);
      if (s >= 0) fds[live++] = (struct pollfd){s, POLLIN, 0};
    }
    if (poll(fds, live, -1) < 0) return 2;
    for (int i = 0; i < live;) {
      if (fds[i].revents) {
        finish(fds[i].fd);
        fds[i] = fds[--live];
      } else {
        i++;
      }
    }
  }
  printf("found %ld failed %ld\n", found, failed);
  return failed ? 1 : 0;
}
