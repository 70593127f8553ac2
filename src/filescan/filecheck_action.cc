// Actions on matched files: delete, or move into the save tree. A move never
// loses the file: the copy is written under a temporary name next to its
// destination, flushed to disk and given its final attributes before it takes
// its name, and only then is the original removed. A copy moved there earlier
// is never touched: the new one is kept beside it as "<name>.1", "<name>.2", ...
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "filecheck.h"
#include "log.h"
#include "ornixfs.h"
#include "ornix_lib.h"
#include "safe_file.h"
#include "stop_signal.h"

namespace {

using Fd = UniqueFd;

// The partial copy of the move in progress, by name for the signal path.
char move_partial[FC_PATH_MAX + 64];
volatile sig_atomic_t move_partial_live = 0;

void track_partial(const std::string &dest, const std::string &name, const std::string &tmp) {
  std::string full = dest.substr(0, dest.size() - name.size()) + tmp;
  if (full.size() >= sizeof move_partial) return;
  memcpy(move_partial, full.c_str(), full.size() + 1);
  move_partial_live = 1;
}

std::string owner_text(uid_t uid) {
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof(buf), &res) == 0 && res != nullptr) return pw.pw_name;
  return std::to_string(static_cast<unsigned long>(uid));
}

std::string group_text(gid_t gid) {
  struct group gr, *res = nullptr;
  char buf[4096];
  if (getgrgid_r(gid, &gr, buf, sizeof(buf), &res) == 0 && res != nullptr) return gr.gr_name;
  return std::to_string(static_cast<unsigned long>(gid));
}

// Opens (creating when missing) the directories of the destination below the
// save directory, never through a symbolic link: the mirrored directories
// belong to the owners of the originals, who must not be able to redirect a
// later copy out of the save tree. A new directory gets the permission bits,
// owner and group of the matching directory of the original path. Returns
// the descriptor of the file's directory and its name in it.
UniqueFd open_save_dirs(const char *save, const char *path, std::string *name) {
  UniqueFd top = open_dir(save);
  if (!top.ok()) return top;
  DirWalk walk;
  walk.create = [](int parent, const char *comp, const std::string &orig) {
    struct stat ost;
    bool have = stat(orig.c_str(), &ost) == 0;
    mkdirat(parent, comp, have ? (ost.st_mode & 07777) : 0700);  // the open after it tells
    return 0;
  };
  walk.opened = [](int fd, const std::string &orig, bool created) {
    struct stat ost;
    if (stat(orig.c_str(), &ost) != 0) return;
    // A directory we cannot write to gets its owner back too; not being root,
    // it keeps our own owner and the copy below reports what is wrong.
    if (created || faccessat(fd, ".", W_OK, AT_EACCESS) != 0)
      if (fchown(fd, ost.st_uid, ost.st_gid) != 0) {
      }
  };
  return open_parent(top.get(), path, name, &walk);
}

// Gives the finished copy its name without replacing anything there.
int place_copy(int dfd, const std::string &tmp, const std::string &name, std::string *placed) {
  for (int n = 0; n < 1000; n++) {
    std::string cand = n == 0 ? name : name + "." + std::to_string(n);
    if (rename_noreplace_at(dfd, tmp.c_str(), cand.c_str()) == 0) {
      *placed = cand;
      return 0;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

// Removes the original through its directory, only while its name still is
// the file that was looked at before acting.
int remove_original(const char *path, const FileId &seen) {
  std::string p(path);
  size_t slash = p.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  UniqueFd dfd = open_dir(dir.c_str());
  if (!dfd.ok()) return -1;
  return unlink_at(dfd.get(), p.c_str() + (slash == std::string::npos ? 0 : slash + 1), &seen);
}

}  // namespace

void move_cleanup(void) {
  if (move_partial_live) {
    unlink(move_partial);
    move_partial_live = 0;
  }
}

void get_mode_string(mode_t mode, char *buf) {
  char type = '?';
  if (S_ISREG(mode)) type = '-';
  else if (S_ISDIR(mode)) type = 'd';
  else if (S_ISLNK(mode)) type = 'l';
  else if (S_ISBLK(mode)) type = 'b';
  else if (S_ISCHR(mode)) type = 'c';
  else if (S_ISFIFO(mode)) type = 'p';
  else if (S_ISSOCK(mode)) type = 's';
  buf[0] = type;
  buf[1] = (mode & S_IRUSR) ? 'r' : '-';
  buf[2] = (mode & S_IWUSR) ? 'w' : '-';
  buf[3] = (mode & S_ISUID) ? ((mode & S_IXUSR) ? 's' : 'S') : ((mode & S_IXUSR) ? 'x' : '-');
  buf[4] = (mode & S_IRGRP) ? 'r' : '-';
  buf[5] = (mode & S_IWGRP) ? 'w' : '-';
  buf[6] = (mode & S_ISGID) ? ((mode & S_IXGRP) ? 's' : 'S') : ((mode & S_IXGRP) ? 'x' : '-');
  buf[7] = (mode & S_IROTH) ? 'r' : '-';
  buf[8] = (mode & S_IWOTH) ? 'w' : '-';
  buf[9] = (mode & S_ISVTX) ? ((mode & S_IXOTH) ? 't' : 'T') : ((mode & S_IXOTH) ? 'x' : '-');
  buf[10] = '\0';
}

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

int move_file(const ScannedFile &f, const char *save, int mode, int /*owner*/) {
  const char *path = f.path;
  if (save == nullptr || path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (access(save, W_OK) != 0) return -1;
  const std::string dest = std::string(save) + path;
  std::string name, tmp;
  Fd dir = open_save_dirs(save, path, &name);
  Fd out;
  if (dir.ok()) out = create_temp_at(dir.get(), ".ornixfs_move_", &tmp);
  if (!out.ok()) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not open Qarantine path(%s)\n", dest.c_str());
    errno = err;
    return -1;
  }
  track_partial(dest, name, tmp);
  // From here on every failure removes the partial copy and leaves the original.
  auto drop = [&]() {
    int err = errno;
    out.reset();
    unlink_at(dir.get(), tmp.c_str());
    move_partial_live = 0;
    errno = err;
    return -1;
  };
  Fd in(open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!in.ok()) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not open Mail file(%s)\n", path);
    errno = err;
    return drop();
  }
  struct stat ost;
  if (fstat(in.get(), &ost) != 0) return drop();
  if (!S_ISREG(ost.st_mode)) {
    errno = EINVAL;
    return drop();
  }
  if (copy_data(in.get(), out.get()) != 0) return drop();
  // Owner first: a change of owner would clear set-id bits set before it.
  if (fchown(out.get(), ost.st_uid, ost.st_gid) != 0) {
    // Not root: the copy keeps our own owner.
  }
  if (fchmod(out.get(), static_cast<mode_t>(mode) & 07777) != 0) return drop();
  struct timespec times[2] = {ost.st_atim, ost.st_mtim};
  futimens(out.get(), times);
  if (fsync(out.get()) != 0) return drop();
  if (out.close_checked() != 0) return drop();
  std::string placed;
  if (place_copy(dir.get(), tmp, name, &placed) != 0) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not open Qarantine path(%s)\n", dest.c_str());
    unlink_at(dir.get(), tmp.c_str());
    move_partial_live = 0;
    errno = err;
    return -1;
  }
  move_partial_live = 0;
  fsync(dir.get());
  std::string shown = dest.substr(0, dest.size() - name.size()) + placed;
  char mtext[11];
  get_mode_string(ost.st_mode, mtext);
  std::string owner = owner_text(ost.st_uid), group = group_text(ost.st_gid);
  MsgLog(OrnixLog, 8, "  file move to %s(m=%04o[%s],o=%s,g=%s)\n", shown.c_str(),
         static_cast<unsigned>(ost.st_mode & 07777), mtext, owner.c_str(), group.c_str());
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

void object_action(const ScannedFile &f, int mode, int owner) {
  const char *path = f.path;
  if (action != 1 && action != 2) return;
  const char *what = action == 1 ? "delete" : "move";
  UniqueFd own;
  std::string name;
  int dfd = scanned_dir(f, &own, &name);
  if (dfd >= 0 && check_scanned(dfd, name.c_str(), f.st) != 0 && errno == ESTALE)
    return report_changed(f, what);
  if (action == 1) {
    if (delete_file(f) == 0)
      delete_file_num++;
    else if (errno == ESTALE)
      report_changed(f, what);
    else
      MsgLog(OrnixLog, 9, "  file delete fail(%s)\n", strerror(errno));
  } else if (action == 2) {
    // What the name is now: after the copy, only that file is removed.
    FileId seen;
    int looked = name_id(AT_FDCWD, path, &seen);
    int looked_err = errno;
    if (move_file(f, save_dir, mode, owner) != 0) {
      check_stop();
      if (errno == ESTALE) return report_changed(f, what);
      MsgLog(OrnixLog, 9, "  file move fail(%s)\n", strerror(errno));
      return;
    }
    // The copy is safe in the save tree; a file that could not be removed
    // was not moved, and is not counted as such.
    if (looked != 0) errno = looked_err;
    if (looked == 0 && remove_original(path, seen) == 0)
      move_file_num++;
    else
      MsgLog(OrnixLog, 9, "  file move fail(%s)\n", strerror(errno));
  }
}
