// Safe file operations: every file a program of the suite creates, replaces
// or removes in a directory that someone else may write to goes through here.
//
// The rules: names are opened relative to a directory descriptor and never
// through a symbolic link (O_NOFOLLOW, O_CLOEXEC), and the type of what was
// opened is checked with fstat; a path is walked one component at a time;
// a file is removed or renamed through its parent's descriptor, after its
// identity (device, inode, ctime) has been checked again; temporary files are
// created exclusively with mode 0600; a replacement is written to a temporary
// file, flushed, renamed into place and the directory flushed.
// Failures return -1 (or an empty UniqueFd) with errno set.
#ifndef ORNIX_SAFE_FILE_H
#define ORNIX_SAFE_FILE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>

#include "ornix_lib.h"

// "op(path): system error", the one form of every file operation message.
std::string sys_message(const char *op, const std::string &path, int err);

// What a name referred to when it was looked at.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec ctime = {};
};
FileId file_id(const struct stat &st);
bool same_id(const FileId &a, const FileId &b);
// The identity of an open file, or of a name in a directory (not followed).
int fd_id(int fd, FileId *out);
int name_id(int dirfd, const char *name, FileId *out);
// 0 when the name still refers to `want`; -1 with ESTALE when it was
// replaced meanwhile (or the errno of the look-up).
int check_id(int dirfd, const char *name, const FileId &want);

enum class FileKind { kAny, kRegular, kDirectory };

// openat(dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC, mode), then the type
// check: EINVAL when not the kind asked for.
UniqueFd open_at(int dirfd, const char *name, int flags, FileKind kind = FileKind::kAny,
                 mode_t mode = 0);
// A directory whose path comes from the configuration (links followed there).
UniqueFd open_dir(const char *path);

// Calls made while walking; `prefix` is the walked path up to and including
// the component. Both optional.
struct DirWalk {
  // Creates a missing component in `parent`; 0, or -1 to stop the walk.
  std::function<int(int parent, const char *name, const std::string &prefix)> create;
  // Sees every directory opened on the way (created: made by `create`).
  std::function<void(int fd, const std::string &prefix, bool created)> opened;
};

// Walks `path` below the directory `base`, one component at a time with
// O_DIRECTORY | O_NOFOLLOW, and returns the descriptor of the directory that
// holds the last component, whose name goes to *leaf. Leading and doubled
// slashes and "." are skipped; ".." goes back one level but never above
// `base`. EISDIR when the path ends in a directory separator or is empty.
UniqueFd open_parent(int base, const std::string &path, std::string *leaf,
                     const DirWalk *walk = nullptr);

// Opens the relative path `rel` below dirfd in one step where the kernel
// can (openat2: no link in any component, never above dirfd), else by
// open_parent and open_at. No type check: the caller's fstat makes it.
UniqueFd open_beneath(int dirfd, const std::string &rel, int flags);

// open_parent for an absolute path, from the root directory.
UniqueFd open_parent_from_root(const std::string &path, std::string *leaf);

// unlinkat through the parent; with `want`, only while the name still is that file.
int unlink_at(int dirfd, const char *name, const FileId *want = nullptr);
// The same for a hard link we made: its ctime moves with every other link,
// chmod or removal of the file, so only device and inode decide.
int unlink_link_at(int dirfd, const char *name, const FileId &want);
// renameat within one directory; the _noreplace form never replaces an
// existing name (EEXIST), also on file systems without RENAME_NOREPLACE.
int rename_at(int dirfd, const char *from, const char *to);
int rename_noreplace_at(int dirfd, const char *from, const char *to);

// 14 characters of [A-Za-z0-9._-], drawn from the kernel's random source.
std::string random_suffix();
// A new file `name` in dirfd: O_CREAT | O_EXCL | O_NOFOLLOW, mode 0600.
// rw_flags: O_WRONLY or O_RDWR.
UniqueFd create_private_at(int dirfd, const char *name, int rw_flags);
// A new file named prefix + random_suffix() in dirfd; its name to *name.
UniqueFd create_temp_at(int dirfd, const std::string &prefix, std::string *name,
                        int rw_flags = O_WRONLY);
// Creates path as create_private_at does; a stale regular file of our own
// (one link, our uid) from an earlier run is replaced, anything else at the
// name (a link, a file of somebody else's) is refused with EEXIST.
int create_private_file(const char *path, int rw_flags);

// Replaces the file at path with `data` (mode `mode`) through
// "<path>.tmp.<pid>.<n>": written, flushed, renamed into place, and the
// directory flushed, so a reader sees the old file or the new, never half.
// On failure the old file stays and *err names operation, path and error.
int atomic_replace(const char *path, const std::string &data, mode_t mode, std::string *err);

// True only when pid is the engine the supervisor started: the program
// ave_exe running with "--config-file=<config_file>". A process whose command
// line cannot be read, or that matches only one of the two, is not.
bool is_our_engine(pid_t pid, const char *ave_exe, const char *config_file);

#endif
