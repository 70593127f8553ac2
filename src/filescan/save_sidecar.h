// The record kept beside each copy in the save tree: what the original was
// (path, mode, owner, group, times), why it was moved (detection names),
// when, and the digest of what was copied, so that it can be put back
// exactly and its copy proven untouched.
//
// The record of the copy "<name>" is the file ".ornixfs-meta-" followed by
// the 32 hexadecimal digits of the MD5 of "<name>", in the same directory.
// A copy never takes a name of that form: an original called so is copied
// as "<name>.1" (which is two bytes longer, so not of that form), so a
// record and a moved file cannot have the same name whatever bytes the
// original names hold. Two copy names with the same digest would share one
// record name; the record also holds its copy's name, and one that does not
// name the copy asked for is refused.
#ifndef ORNIX_SAVE_SIDECAR_H
#define ORNIX_SAVE_SIDECAR_H

#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

struct SavedMeta {
  std::string copy;        // the copy's name in its directory
  std::string path;        // the original's absolute path
  mode_t mode = 0;         // permission, set-id and sticky bits
  uid_t uid = 0;
  gid_t gid = 0;
  std::string owner, group;  // names at the time of the move, for people
  struct timespec atime = {}, mtime = {};
  long long size = 0;
  std::string md5;         // 32 lowercase hexadecimal digits of the contents
  time_t moved = 0;
  std::string detections;  // as the engine named them, "" when unknown
};

bool is_sidecar_name(const std::string &name);
std::string sidecar_name(const std::string &copy);
// The record as text, and back; names are kept byte for byte.
std::string format_sidecar(const SavedMeta &m);
int parse_sidecar(const std::string &text, SavedMeta *m);
// Writes the record of m.copy into dirfd: temporary file, flush, rename over
// any stale record, flush of the directory. 0, or -1 with errno.
int write_sidecar(int dirfd, const SavedMeta &m);
// Reads the record of `copy` in dirfd. Only a record this user wrote is
// believed (a regular file of ours, one link, writable by nobody else), and
// only when it names `copy`. 0, or -1 with *err naming what is wrong.
int read_sidecar(int dirfd, const std::string &copy, SavedMeta *m, std::string *err);
// The same for the record called `name`, whichever copy it names.
int read_record(int dirfd, const std::string &name, SavedMeta *m, std::string *err);
// The rest of `in` into `out` (out may be -1: only the digest), with the
// digest (32 hexadecimal digits) and the number of bytes. A stop request
// ends it (EINTR). 0, or -1 with errno.
int copy_with_digest(int in, int out, std::string *md5, long long *size);
// Control bytes, DEL and "%" as "%XX": one line, no forged lines, lossless.
std::string escape_name(const std::string &s);

#endif
