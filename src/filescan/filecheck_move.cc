// The move action: the scanned file is copied into the save tree and the
// original removed, never losing what either holds. Beside each copy goes
// its record (save_sidecar.h), from which ornixrestore puts it back.
//
// The copy is written under a temporary name next to its destination,
// flushed and given its final attributes before it takes its name; a copy
// moved there earlier is never touched (the new one is kept beside it as
// "<name>.1", "<name>.2", ...). The original is removed only when it is
// provably the content copied: same device, inode, size, modification and
// change time as when the copy began, checked after the copy is on disk and
// again immediately before the unlink through its directory. A file written
// to meanwhile (a mailbox taking a delivery) keeps its name and contents and
// the copy is dropped. A move whose original cannot be removed (read-only
// file system, a directory we may not write, an immutable file) leaves no
// copy behind.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "filecheck.h"
#include "log.h"
#include "ornixfs.h"
#include "ornix_lib.h"
#include "safe_file.h"
#include "save_sidecar.h"
#include "stop_signal.h"

namespace {

// The partial copy of the move in progress, by name for the signal path.
char move_partial[FC_PATH_MAX + 64];
volatile sig_atomic_t move_partial_live = 0;

void track_partial(const std::string &dest, const std::string &name, const std::string &tmp) {
  std::string full = dest.substr(0, dest.size() - name.size()) + tmp;
  if (full.size() >= sizeof move_partial) return;
  memcpy(move_partial, full.c_str(), full.size() + 1);
  move_partial_live = 1;
}

// The original as the move finds it again: its directory and name there,
// the open file whose contents are copied, and what it was at the open.
// A scanned symbolic link is followed for the contents (the walk followed
// it to scan them) and the link itself is what is removed.
struct Source {
  UniqueFd dir;
  int dirfd = -1;
  std::string name;
  FileId entry;        // the directory entry removed at the end
  UniqueFd in;
  struct stat at_open = {};
};

int open_source(const ScannedFile &f, Source *s) {
  s->dirfd = scanned_dir(f, &s->dir, &s->name);
  struct stat lst;
  if (s->dirfd < 0 || fstatat(s->dirfd, s->name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0)
    return -1;
  s->entry = file_id(lst);
  s->in = open_regular_at(s->dirfd, s->name.c_str(), S_ISLNK(lst.st_mode), &s->at_open);
  if (!s->in.ok()) {
    int err = errno;
    if (err != EINVAL)
      MsgLog(OrnixLog, 1, "Could not open Mail file(%s)\n", ShownName(f.path).c_str());
    errno = err;
    return -1;
  }
  // The name must lead to what was opened, and that be what was scanned.
  bool entry_is_file = S_ISLNK(lst.st_mode) || (lst.st_dev == s->at_open.st_dev &&
                                                lst.st_ino == s->at_open.st_ino);
  bool scanned = (f.st.st_dev == 0 && f.st.st_ino == 0) || same_contents(s->at_open, f.st);
  if (!entry_is_file || !scanned) {
    errno = ESTALE;
    return -1;
  }
  return 0;
}

// Refuses before copying what could not be removed afterwards.
int removable(const Source &s) {
  return faccessat(s.dirfd, ".", W_OK, AT_EACCESS);
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

// Gives the finished copy its name without replacing anything there. The
// names of records are never a copy's: such an original is kept as ".1".
int place_copy(int dfd, const std::string &tmp, const std::string &name, std::string *placed) {
  for (int n = 0; n < 1000; n++) {
    std::string cand = n == 0 ? name : name + "." + std::to_string(n);
    if (is_sidecar_name(cand)) continue;
    if (rename_noreplace_at(dfd, tmp.c_str(), cand.c_str()) == 0) {
      *placed = cand;
      return 0;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

// What the record of a copy says of the original as it was opened.
void describe(const struct stat &st, SavedMeta *m) {
  m->mode = st.st_mode & 07777;
  m->uid = st.st_uid;
  m->gid = st.st_gid;
  m->owner = owner_text(st.st_uid);
  m->group = group_text(st.st_gid);
  m->atime = st.st_atim;
  m->mtime = st.st_mtim;
  m->moved = time(nullptr);
}

// Copies everything `in` holds from its start into a new file of the save
// directory `dir` with the original's owner, times and the configured mode,
// on disk under its final name (*placed) with its record (*m, of which the
// caller filled path and detections) beside it when this returns 0.
int write_copy(const Source &s, int dir, const std::string &dest, const std::string &name,
               int mode, SavedMeta *m, std::string *placed) {
  std::string tmp;
  UniqueFd out = create_temp_at(dir, ".ornixfs_move_", &tmp);
  if (!out.ok()) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not open Qarantine path(%s)\n", ShownName(dest.c_str()).c_str());
    errno = err;
    return -1;
  }
  track_partial(dest, name, tmp);
  const struct stat &ost = s.at_open;
  bool done = lseek(s.in.get(), 0, SEEK_SET) == 0 &&
              copy_with_digest(s.in.get(), out.get(), &m->md5, &m->size) == 0;
  if (done && m->size != ost.st_size) {
    errno = ESTALE;   // truncated or grown while read
    done = false;
  }
  // Owner first: a change of owner would clear set-id bits set before it.
  if (done && fchown(out.get(), ost.st_uid, ost.st_gid) != 0) {
    // Not root: the copy keeps our own owner.
  }
  done = done && fchmod(out.get(), static_cast<mode_t>(mode) & 07777) == 0;
  struct timespec times[2] = {ost.st_atim, ost.st_mtim};
  if (done) futimens(out.get(), times);
  done = done && fsync(out.get()) == 0 && out.close_checked() == 0;
  if (done && place_copy(dir, tmp, name, placed) != 0) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not open Qarantine path(%s)\n", ShownName(dest.c_str()).c_str());
    errno = err;
    done = false;
  }
  describe(ost, m);
  m->copy = *placed;
  if (done && write_sidecar(dir, *m) != 0) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not write the record of %s: %s\n", ShownName(dest.c_str()).c_str(),
           strerror(err));
    unlinkat(dir, placed->c_str(), 0);
    errno = err;
    done = false;
  }
  int err = errno;
  if (!done) {
    out.reset();
    unlink_at(dir, tmp.c_str());
  }
  move_partial_live = 0;
  errno = err;
  return done ? 0 : -1;
}

// Unchanged since the copy began: nothing written, truncated or renamed
// over. Once unlinked, the change time has moved with the link count, and
// only size and modification time tell of a write.
int still_as_copied(const Source &s, bool unlinked = false) {
  struct stat now;
  if (fstat(s.in.get(), &now) != 0) return -1;
  if (unlinked) now.st_ctim = s.at_open.st_ctim;
  if (same_contents(now, s.at_open)) return 0;
  errno = ESTALE;
  return -1;
}

void drop_copy(int dir, const std::string &placed) {
  int err = errno;
  unlink_at(dir, placed.c_str());
  unlink_at(dir, sidecar_name(placed).c_str());
  fsync(dir);
  errno = err;
}

}  // namespace

void move_cleanup(void) {
  if (move_partial_live) {
    unlink(move_partial);
    move_partial_live = 0;
  }
}

int move_file(const ScannedFile &f, const char *save, int mode, int /*owner*/,
              std::string *placed_path) {
  if (save == nullptr || f.path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (access(save, W_OK) != 0) return -1;
  Source s;
  if (open_source(f, &s) != 0 || removable(s) != 0) return -1;
  const std::string dest = std::string(save) + f.path;
  std::string name, placed;
  UniqueFd dir = open_save_dirs(save, f.path, &name);
  if (!dir.ok()) {
    int err = errno;
    MsgLog(OrnixLog, 1, "Could not open Qarantine path(%s)\n", ShownName(dest.c_str()).c_str());
    errno = err;
    return -1;
  }
  SavedMeta meta;
  meta.path = f.path;
  meta.detections = f.detections != nullptr ? f.detections : "";
  if (write_copy(s, dir.get(), dest, name, mode, &meta, &placed) != 0) return -1;
  // The copy is on disk: the original goes only if it is what was copied,
  // and a copy whose original stays is not left behind as a second file.
  if (fsync(dir.get()) != 0 || still_as_copied(s) != 0 ||
      unlink_at(s.dirfd, s.name.c_str(), &s.entry) != 0) {
    drop_copy(dir.get(), placed);
    return -1;
  }
  // A writer that opened the file before the unlink may still have written
  // in the instant between the last look and the unlink: what it wrote is
  // still readable here, and is kept as one more copy rather than lost.
  const std::string where = dest.substr(0, dest.size() - name.size());
  if (still_as_copied(s, true) != 0) {
    std::string late;
    fstat(s.in.get(), &s.at_open);
    if (write_copy(s, dir.get(), dest, name, mode, &meta, &late) == 0)
      MsgLog(OrnixLog, 1, "  file written to while moved(%s): all of it also in %s\n",
             ShownName(f.path).c_str(), shown_name((where + late).c_str()).c_str());
    else
      MsgLog(OrnixLog, 1, "  file written to while moved(%s): %s\n", ShownName(f.path).c_str(),
             sys_message("copy", shown_name(dest.c_str()), errno).c_str());
  }
  std::string shown = where + placed;
  if (placed_path != nullptr) *placed_path = shown;
  char mtext[11];
  get_mode_string(s.at_open.st_mode, mtext);
  std::string owner = owner_text(s.at_open.st_uid), group = group_text(s.at_open.st_gid);
  MsgLog(OrnixLog, 8, "  file move to %s(m=%04o[%s],o=%s,g=%s)\n",
         ShownName(shown.c_str()).c_str(),
         static_cast<unsigned>(s.at_open.st_mode & 07777), mtext, owner.c_str(), group.c_str());
  return 0;
}
