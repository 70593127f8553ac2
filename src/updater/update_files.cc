// Local file work of the updater: private download directory, durable
// copies and atomic replacement, so a failure never leaves half a module.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "md5.h"
#include "ornix_lib.h"
#include "safe_file.h"
#include "updater_internal.h"

namespace {

std::string leaf_of(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The source: a regular file, never reached through a link in its place.
UniqueFd open_source(const std::string &src) {
  UniqueFd dir = open_dir(dir_of(src).c_str());
  if (!dir.ok()) return UniqueFd();
  return open_at(dir.get(), leaf_of(src).c_str(), O_RDONLY, FileKind::kRegular);
}

// Fills out from src, gives it mode and flushes it to disk.
int fill(const std::string &src, UniqueFd *out, mode_t mode) {
  UniqueFd in = open_source(src);
  if (!in.ok()) return -1;
  if (copy_data(in.get(), out->get()) != 0 || fchmod(out->get(), mode) != 0 ||
      fsync(out->get()) != 0 || out->close_checked() != 0)
    return -1;
  return 0;
}

}  // namespace

std::string dir_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool is_executable(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool md5_text(const std::string &path, std::string *hex) {
  unsigned char digest[16];
  if (md5sum(path.c_str(), digest) != 0) return false;
  char text[33];
  md5hex(digest, text);
  *hex = text;
  return true;
}

int make_private_dir(const std::string &parent, std::string *dir) {
  std::string tmpl = parent + "/ornixup.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return -1;
  *dir = tmpl;
  return 0;
}

void remove_private_dir(const std::string &dir) {
  if (dir.empty()) return;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

int fsync_dir(const std::string &dir) {
  UniqueFd fd = open_dir(dir.c_str());
  if (!fd.ok()) return -1;
  return fsync(fd.get());
}

int copy_new_file(const std::string &src, const std::string &dst, mode_t mode) {
  UniqueFd dir = open_dir(dir_of(dst).c_str());
  if (!dir.ok()) return -1;
  std::string name = leaf_of(dst);
  UniqueFd out = create_private_at(dir.get(), name.c_str(), O_WRONLY);
  if (!out.ok()) return -1;
  if (fill(src, &out, mode) != 0) {
    int e = errno;
    unlink_at(dir.get(), name.c_str());
    errno = e;
    return -1;
  }
  return 0;
}

int replace_file(const std::string &src, const std::string &dst, mode_t mode) {
  UniqueFd dir = open_dir(dir_of(dst).c_str());
  if (!dir.ok()) return -1;
  std::string name = leaf_of(dst), tmp;
  UniqueFd out = create_temp_at(dir.get(), "." + name + ".", &tmp);
  if (!out.ok()) return -1;
  if (fill(src, &out, mode) != 0 || rename_at(dir.get(), tmp.c_str(), name.c_str()) != 0) {
    int e = errno;
    unlink_at(dir.get(), tmp.c_str());
    errno = e;
    return -1;
  }
  return fsync(dir.get());
}
