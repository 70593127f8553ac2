// The account a program runs as after its start: looked up by name, switched
// to group first, and the log file it shares with the program handed over.
#ifndef ORNIX_ACCOUNT_H
#define ORNIX_ACCOUNT_H

#include <sys/types.h>

#include <string>

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The named user, or the caller's own entry for an empty name; -1 after a
// message on standard error.
int find_account(const char *name, Account *acc);

// Group first: once the user id is gone the group can no longer be changed.
// Every id is checked afterwards; -1 with errno set.
int switch_user(const Account &acc);

// Opens the log file that acc will write to as well and gives it to acc.
// Everything is decided on the one descriptor: opened without following a
// symbolic link, refused when it has another name (a hard link planted in a
// directory acc can write) or belongs to somebody else, and never looked up
// by name again. The descriptor, or -1 after a message naming prog.
int open_shared_log(const char *prog, const char *path, const Account &acc);

#endif
