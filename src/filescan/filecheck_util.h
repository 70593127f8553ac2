// Helpers of the file scanner used by its walk, pipeline and actions alike;
// this file calls none of them.
#ifndef ORNIX_FILECHECK_UTIL_H
#define ORNIX_FILECHECK_UTIL_H

#include <string>
#include <sys/stat.h>

#include "ornix_lib.h"

#define FC_PATH_MAX 8192   // paths built by the walk, terminator included

// 1 when text matches one of the ":"-separated extended regular expressions
// of mask (also when text or mask is empty), 0 otherwise.
int match2(const char *text, const char *mask, int flag);
// Why match2 cannot use mask (the regular expression library's words); empty
// when it compiles or is empty.
std::string mask_error(const char *mask, int flag);
// 1 when every byte is printable ASCII.
int is_ascii_name(const char *s);
// The ls -l form of a mode ("-rwsr-xr-x"): 10 characters and a NUL.
void get_mode_string(mode_t mode, char *buf);
// The account and group names of ids, or the ids in decimal when unknown.
std::string owner_text(uid_t uid);
std::string group_text(gid_t gid);
// "1234567" -> "1,234,567".
std::string size_text(long long size);

// A name as every log, report and mail line shows it: control characters
// written "\n", "\t" or "\ooo", and a backslash "\\", so a name can neither
// break a line nor pass for an escape. The engine and the actions keep
// using the real name.
std::string shown_name(const char *name);
// True when shown_name would change the text.
bool name_needs_escape(const char *name);
// shown_name for one message, copying only a name that needs escaping.
class ShownName {
 public:
  explicit ShownName(const char *name) : raw_(name ? name : "") {
    if (name_needs_escape(raw_)) text_ = shown_name(raw_), raw_ = nullptr;
  }
  const char *c_str() const { return raw_ ? raw_ : text_.c_str(); }

 private:
  const char *raw_;
  std::string text_;
};

// The file the engine gave its verdict on, as an action must find it again:
// the path shown in messages and mirrored in the save tree, and, when the walk
// has them, its directory (reached without following links) and its name
// there. `st` is what was seen of the scanned file itself (device, inode,
// size, mtime, ctime): an action goes ahead only while the name still is it.
// When the name is a symbolic link the walk followed, `st` is its target's.
struct ScannedFile {
  const char *path = nullptr;
  int dirfd = -1;
  const char *name = nullptr;
  struct stat st = {};
  const char *detections = nullptr;  // the engine's names, kept with a moved copy
};

// The directory of f (f.dirfd, or, without one, the directory of f.path
// reached from "/" without following links; *own then holds it) and the
// name in it (*name). -1 with errno when the path cannot be reached.
int scanned_dir(const ScannedFile &f, UniqueFd *own, std::string *name);
// 0 while the name still is the scanned file: the same device, inode, size,
// mtime and ctime (a link to it counts when the walk followed a link); -1
// with ESTALE when it was replaced or changed, or the errno of the look-up.
// A ScannedFile without an identity (st all zero) is not checked.
int check_scanned(int dirfd, const char *name, const struct stat &want);
// True when both describe the same contents of the same file.
bool same_contents(const struct stat &a, const struct stat &b);

// Opens name in dirfd for reading without blocking or taking a terminal;
// a final symbolic link is followed only when follow is set. Only a regular
// file is kept (EINVAL otherwise); its status goes to *st.
UniqueFd open_regular_at(int dirfd, const char *name, bool follow, struct stat *st);

#endif
