// The users databases of the mail-scanner groups, rebuilt from their text
// lists on every engine start.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config.h"
#include "db.h"
#include "log.h"
#include "ornix.h"

namespace {

void build_one(const char *users, const char *dbfile) {
  if (users[0] == '\0' || access(users, F_OK) != 0) {
    MsgLog(OrnixLog, 1, "Could not access UsersDB file!(%s)\n", users);
    return;
  }
  unlink(dbfile);
  // Created fresh after the unlink: a symbolic link planted in between is
  // refused rather than followed.
  DB *db = DBopen(dbfile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (db == nullptr) return;
  errno = 0;
  if (DBmake(db, users) == 0)
    MsgLog(OrnixLog, 1, "make users DB(%s)\n", users);
  else
    MsgLog(OrnixLog, 1, "Could not make DB!(%s)\n", strerror(errno));
  DBclose(db);
}

}  // namespace

void build_users_databases(void) {
  for (GRP *g = GroupList; g != nullptr; g = g->next) {
    if (g->UsersDB == nullptr) continue;
    const char *users = nullptr;
    if (GetGroupConfigValue(g, "smtpscan.group", "Users", STR, &users) != 0 || users == nullptr)
      continue;
    build_one(users, g->UsersDB);
  }
}
