// Private temporary files and atomic replacement.
#include "safe_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// Splits a path into its directory ("." or "/" when it has none) and name.
void split_path(const std::string &path, std::string *dir, std::string *name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

}  // namespace

std::string random_suffix() {
  static const char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ-abcdefghijklmnopqrstuvwxyz_0123456789";
  unsigned char rnd[14];
  if (getrandom(rnd, sizeof rnd, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof rnd))
    for (unsigned char &c : rnd) c = static_cast<unsigned char>(rand());
  std::string out;
  for (unsigned char c : rnd) out += chars[c % 64];
  return out;
}

UniqueFd create_private_at(int dirfd, const char *name, int rw_flags) {
  return open_at(dirfd, name, rw_flags | O_CREAT | O_EXCL, FileKind::kAny, 0600);
}

UniqueFd create_temp_at(int dirfd, const std::string &prefix, std::string *name, int rw_flags) {
  for (int attempt = 0; attempt < 8; attempt++) {
    *name = prefix + random_suffix();
    UniqueFd fd = create_private_at(dirfd, name->c_str(), rw_flags);
    if (fd.ok() || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

int create_private_file(const char *path, int rw_flags) {
  std::string dir, name;
  split_path(path, &dir, &name);
  UniqueFd dfd = open_dir(dir.c_str());
  if (!dfd.ok()) return -1;
  UniqueFd fd = create_private_at(dfd.get(), name.c_str(), rw_flags);
  if (fd.ok() || errno != EEXIST) return fd.release();
  // Only a leftover of our own (a plain file, not shared through a hard link)
  // may be replaced; a symbolic link or anybody else's file is refused, so a
  // name planted in the temporary directory is never written through.
  struct stat st;
  if (fstatat(dfd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      st.st_uid != geteuid() || st.st_nlink != 1) {
    errno = EEXIST;
    return -1;
  }
  FileId seen = file_id(st);
  if (unlink_at(dfd.get(), name.c_str(), &seen) != 0) return -1;
  return create_private_at(dfd.get(), name.c_str(), rw_flags).release();
}

int atomic_replace(const char *path, const std::string &data, mode_t mode, std::string *err) {
  std::string dir, name;
  split_path(path, &dir, &name);
  const std::string stem = std::string(path) + ".tmp." + std::to_string(getpid()) + ".";
  UniqueFd dfd = open_dir(dir.c_str());
  if (!dfd.ok()) {
    *err = sys_message("create", stem + "0", errno);
    return -1;
  }
  UniqueFd fd;
  std::string tmp, shown;
  for (int attempt = 0; attempt < 100 && !fd.ok(); attempt++) {
    tmp = name + ".tmp." + std::to_string(getpid()) + "." + std::to_string(attempt);
    shown = stem + std::to_string(attempt);
    fd = create_private_at(dfd.get(), tmp.c_str(), O_WRONLY);
    if (!fd.ok() && errno != EEXIST) break;
  }
  if (!fd.ok()) {
    *err = sys_message("create", shown, errno);
    return -1;
  }
  const char *op = nullptr;
  if (fchmod(fd.get(), mode) != 0)
    op = "chmod";
  else if (!write_all(fd.get(), data.data(), data.size()))
    op = "write";
  else if (fsync(fd.get()) != 0)
    op = "fsync";
  else if (fd.close_checked() != 0)
    op = "close";
  if (op != nullptr) {
    *err = sys_message(op, shown, errno);
    fd.reset();
    unlinkat(dfd.get(), tmp.c_str(), 0);
    return -1;
  }
  if (rename_at(dfd.get(), tmp.c_str(), name.c_str()) != 0) {
    *err = sys_message("rename", shown + ", " + path, errno);
    unlinkat(dfd.get(), tmp.c_str(), 0);
    return -1;
  }
  // The rename itself must survive a crash too.
  fsync(dfd.get());
  return 0;
}
