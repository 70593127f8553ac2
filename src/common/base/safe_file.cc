// Opening, walking, identity checks, removal and renaming through directory
// descriptors, and the engine process check.
#include "safe_file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

std::string sys_message(const char *op, const std::string &path, int err) {
  return std::string(op) + "(" + path + "): " + strerror(err);
}

FileId file_id(const struct stat &st) {
  FileId id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.ctime = st.st_ctim;
  return id;
}

bool same_id(const FileId &a, const FileId &b) {
  return a.dev == b.dev && a.ino == b.ino && a.ctime.tv_sec == b.ctime.tv_sec &&
         a.ctime.tv_nsec == b.ctime.tv_nsec;
}

int fd_id(int fd, FileId *out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  *out = file_id(st);
  return 0;
}

int name_id(int dirfd, const char *name, FileId *out) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  *out = file_id(st);
  return 0;
}

int check_id(int dirfd, const char *name, const FileId &want) {
  FileId now;
  if (name_id(dirfd, name, &now) != 0) return -1;
  if (same_id(now, want)) return 0;
  errno = ESTALE;
  return -1;
}

UniqueFd open_at(int dirfd, const char *name, int flags, FileKind kind, mode_t mode) {
  UniqueFd fd(openat(dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.ok() || kind == FileKind::kAny) return fd;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return UniqueFd();
  bool fits = kind == FileKind::kRegular ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode);
  if (!fits) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

UniqueFd open_dir(const char *path) {
  return UniqueFd(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

namespace {

UniqueFd open_step(int parent, const std::string &name, const std::string &prefix,
                   const DirWalk *walk) {
  const int flags = O_RDONLY | O_DIRECTORY;
  UniqueFd fd = open_at(parent, name.c_str(), flags);
  bool created = false;
  if (!fd.ok() && errno == ENOENT && walk != nullptr && walk->create) {
    if (walk->create(parent, name.c_str(), prefix) != 0) return UniqueFd();
    fd = open_at(parent, name.c_str(), flags);
    created = true;
  }
  if (fd.ok() && walk != nullptr && walk->opened) {
    int err = errno;
    walk->opened(fd.get(), prefix, created);
    errno = err;
  }
  return fd;
}

}  // namespace

UniqueFd open_parent(int base, const std::string &path, std::string *leaf, const DirWalk *walk) {
  // Every level stays open, so ".." is a step back down this stack and can
  // never lead above base.
  std::vector<UniqueFd> levels;
  levels.emplace_back(fcntl(base, F_DUPFD_CLOEXEC, 0));
  if (!levels.back().ok()) return UniqueFd();
  size_t pos = 0;
  for (;;) {
    while (pos < path.size() && path[pos] == '/') pos++;
    size_t end = path.find('/', pos);
    if (end == std::string::npos) {
      *leaf = path.substr(pos);
      if (leaf->empty() || *leaf == "." || *leaf == "..") {
        errno = EISDIR;
        return UniqueFd();
      }
      return std::move(levels.back());
    }
    std::string comp = path.substr(pos, end - pos);
    pos = end;
    if (comp == ".") continue;
    if (comp == "..") {
      if (levels.size() > 1) levels.pop_back();
      continue;
    }
    UniqueFd next = open_step(levels.back().get(), comp, path.substr(0, end), walk);
    if (!next.ok()) return UniqueFd();
    levels.push_back(std::move(next));
  }
}

UniqueFd open_beneath(int dirfd, const std::string &rel, int flags) {
  static bool no_openat2 = false;   // learnt once per process
  if (!no_openat2) {
    struct open_how how = {};
    how.flags = static_cast<unsigned long long>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, dirfd, rel.c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno != ENOSYS && errno != EPERM) return UniqueFd();
    no_openat2 = true;   // an old kernel, or a seccomp filter that refuses it
  }
  std::string leaf;
  UniqueFd parent = open_parent(dirfd, rel, &leaf);
  return parent.ok() ? open_at(parent.get(), leaf.c_str(), flags) : UniqueFd();
}

UniqueFd open_parent_from_root(const std::string &path, std::string *leaf) {
  // The first level is opened by its absolute name, which is the same step
  // without links, because an emulator (qemu-user -L) answers a bare "/"
  // with its own root. Only without ".." may the walk start below "/".
  size_t pos = path.find_first_not_of('/');
  size_t end = pos == std::string::npos ? pos : path.find('/', pos);
  std::string first = end == std::string::npos ? "" : path.substr(pos, end - pos);
  bool dots = first == "." || (" " + path + "/").find("/../") != std::string::npos;
  if (path.empty() || path[0] != '/' || first.empty() || dots) {
    UniqueFd root = open_dir("/");
    return root.ok() ? open_parent(root.get(), path, leaf) : UniqueFd();
  }
  UniqueFd top(open(("/" + first).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return top.ok() ? open_parent(top.get(), path.substr(end), leaf) : UniqueFd();
}

int unlink_at(int dirfd, const char *name, const FileId *want) {
  if (want != nullptr && check_id(dirfd, name, *want) != 0) return -1;
  return unlinkat(dirfd, name, 0);
}

int unlink_link_at(int dirfd, const char *name, const FileId &want) {
  FileId now;
  if (name_id(dirfd, name, &now) != 0) return -1;
  if (now.dev != want.dev || now.ino != want.ino) {
    errno = ESTALE;
    return -1;
  }
  return unlinkat(dirfd, name, 0);
}

int rename_at(int dirfd, const char *from, const char *to) {
  return renameat(dirfd, from, dirfd, to);
}

int rename_noreplace_at(int dirfd, const char *from, const char *to) {
  if (renameat2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without an exclusive rename: a hard link never replaces either.
  if (linkat(dirfd, from, dirfd, to, 0) != 0) return -1;
  unlinkat(dirfd, from, 0);
  return 0;
}

namespace {

// The NUL-separated arguments of a process; false when they cannot be read.
bool read_cmdline(pid_t pid, std::vector<std::string> *args) {
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  UniqueFd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.ok()) return false;
  std::string data;
  char buf[4096];
  ssize_t n;
  while ((n = read(f.get(), buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
  if (n < 0) return false;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == std::string::npos) end = data.size();
    args->push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Both names lead to the same file once every link is resolved.
bool same_program(const char *a, const char *b) {
  char ra[PATH_MAX], rb[PATH_MAX];
  if (realpath(a, ra) == nullptr || realpath(b, rb) == nullptr) return false;
  return strcmp(ra, rb) == 0;
}

}  // namespace

bool is_our_engine(pid_t pid, const char *ave_exe, const char *config_file) {
  if (pid <= 1 || ave_exe == nullptr || config_file == nullptr) return false;
  std::vector<std::string> args;
  // Nothing that cannot be told apart from a stranger is ever signalled.
  if (!read_cmdline(pid, &args) || args.empty()) return false;
  std::string ours = std::string("--config-file=") + config_file;
  bool our_config = false;
  for (const std::string &a : args)
    if (a == ours) our_config = true;
  if (!our_config) return false;
  // The program itself; its first argument when /proc/PID/exe is not ours to read.
  std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  return same_program(exe.c_str(), ave_exe) || same_program(args[0].c_str(), ave_exe);
}
