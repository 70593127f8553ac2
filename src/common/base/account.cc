#include "account.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"

int find_account(const char *name, Account *acc) {
  errno = 0;
  struct passwd *pw = name[0] != '\0' ? getpwnam(name) : getpwuid(getuid());
  if (pw == nullptr) {
    if (name[0] != '\0')
      fprintf(stderr, "User %s not found\n", name);
    else
      fprintf(stderr, "User (uid=%d) not found\n", static_cast<int>(getuid()));
    return -1;
  }
  acc->name = pw->pw_name;
  acc->uid = pw->pw_uid;
  acc->gid = pw->pw_gid;
  return 0;
}

int switch_user(const Account &acc) {
  if (getuid() == 0 && initgroups(acc.name.c_str(), acc.gid) != 0) return -1;
  if (setregid(acc.gid, acc.gid) != 0) return -1;
  if (setreuid(acc.uid, acc.uid) != 0) return -1;
  if (getuid() != acc.uid || geteuid() != acc.uid || getgid() != acc.gid || getegid() != acc.gid) {
    errno = EPERM;
    return -1;
  }
  return 0;
}

int open_shared_log(const char *prog, const char *path, const Account &acc) {
  int fd = open_log_file(path);
  if (fd < 0) {
    fprintf(stderr, "%s: open(%s): %s\n", prog, path, strerror(errno));
    return -1;
  }
  struct stat st;
  const char *why = nullptr;
  if (fstat(fd, &st) != 0)
    why = strerror(errno);
  else if (st.st_nlink != 1)
    why = "a file with more than one link, refused";
  else if (acc.uid != 0 && st.st_uid != acc.uid && st.st_uid != geteuid())
    why = "a file of another owner, refused";   // never given away
  else if (acc.uid != 0 && st.st_uid != acc.uid && fchown(fd, acc.uid, acc.gid) != 0 &&
           geteuid() == 0)
    why = strerror(errno);
  if (why != nullptr) {
    fprintf(stderr, "%s: log file(%s): %s\n", prog, path, why);
    close(fd);
    return -1;
  }
  return fd;
}
