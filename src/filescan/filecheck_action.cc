// Actions on matched files: delete, or move into the save tree (the move
// itself is in filecheck_move.cc).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "filecheck.h"
#include "log.h"
#include "ornixfs.h"
#include "ornix_lib.h"
#include "safe_file.h"

int delete_file(const ScannedFile &f) {
  UniqueFd own;
  std::string name;
  int dfd = scanned_dir(f, &own, &name);
  if (dfd < 0 || check_scanned(dfd, name.c_str(), f.st) != 0) return -1;
  // The texts describe what a link leads to, as the scan saw it.
  struct stat st;
  if (fstatat(dfd, name.c_str(), &st, 0) != 0 &&
      fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    memset(&st, 0, sizeof(st));
  char mode[11];
  get_mode_string(st.st_mode, mode);
  std::string owner = owner_text(st.st_uid), group = group_text(st.st_gid);
  FileId seen;
  if (name_id(dfd, name.c_str(), &seen) != 0 || unlink_at(dfd, name.c_str(), &seen) != 0) return -1;
  MsgLog(OrnixLog, 8, "  file delete to %s(m=%04o[%s],o=%s,g=%s)\n", ShownName(f.path).c_str(),
         static_cast<unsigned>(st.st_mode & 07777), mode, owner.c_str(), group.c_str());
  return 0;
}

namespace {

// The name no longer is the file the engine judged: nothing is done to it,
// and the run says so and counts it as an error.
void report_changed(const ScannedFile &f, const char *what) {
  ShownName shown(f.path);
  MsgLog(OrnixLog, 9, "  file %s fail(changed during scan)\n", what);
  Output(Report, 1, "Error! %s : changed during scan\n", shown.c_str());
  error_file_num++;
}

}  // namespace

void object_action(const ScannedFile &f, int mode, int owner, ActionOutcome *out) {
  ActionOutcome none;
  ActionOutcome &o = out != nullptr ? *out : none;
  if (action != 1 && action != 2) return;
  const char *what = action == 1 ? "delete" : "move";
  o.action = what;
  UniqueFd own;
  std::string name;
  int dfd = scanned_dir(f, &own, &name);
  if (dfd >= 0 && check_scanned(dfd, name.c_str(), f.st) != 0 && errno == ESTALE) {
    o.err = ESTALE;
    return report_changed(f, what);
  }
  if (action == 1) {
    o.done = delete_file(f) == 0;
    o.err = o.done ? 0 : errno;
    if (o.done)
      delete_file_num++;
    else if (o.err == ESTALE)
      report_changed(f, what);
    else
      MsgLog(OrnixLog, 9, "  file delete fail(%s)\n", strerror(o.err));
  } else if (action == 2) {
    o.done = move_file(f, save_dir, mode, owner, &o.where) == 0;
    if (o.done) {
      move_file_num++;
    } else {
      o.err = errno;
      o.where.clear();   // a failed move leaves no copy
      check_stop();
      if (o.err == ESTALE) return report_changed(f, what);
      MsgLog(OrnixLog, 9, "  file move fail(%s)\n", strerror(o.err));
    }
  }
}
