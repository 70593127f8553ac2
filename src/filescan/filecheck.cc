// The directory walk: resolving the command-line paths, the depth limit, the
// protected trees, the exclude mask and the symbolic-link rules. The walk goes
// through directory descriptors, one open per level: an entry is looked at
// and opened by its name in its directory, never by its path, so the depth of
// a tree is not bounded by the longest path the kernel takes, and a directory
// renamed or replaced by a link meanwhile cannot lead the walk, or an action
// on what it found, anywhere else. The path text is only shown.
#include "filecheck.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "clamav_api.h"
#include "config.h"
#include "filecheck_util.h"
#include "log.h"
#include "ornix_common.h"
#include "ornixfs.h"

namespace {

using Identity = std::pair<dev_t, ino_t>;

Identity identity(const struct stat &st) { return {st.st_dev, st.st_ino}; }

bool listed(const std::vector<Identity> &ids, const struct stat &st) {
  for (const Identity &e : ids)
    if (e == identity(st)) return true;
  return false;
}

// What the walk never enters or scans, by device and inode, taken once per
// run of the paths as this run sees them (a relative or linked save
// directory included), so no spelling of a path, and no link in a tree,
// leads the walk into them.
struct Excluded {
  std::vector<Identity> dirs;     // /dev, /proc, /sys, save and cache trees
  std::vector<Identity> sockets;  // the engine's socket
};

Excluded take_excluded() {
  Excluded ex;
  struct stat st;
  for (const char *dir : {"/dev", "/proc", "/sys", save_dir, cache_dir})
    if (dir != nullptr && *dir && stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
      ex.dirs.push_back(identity(st));
  if (SocketPath != nullptr && *SocketPath && stat(SocketPath, &st) == 0)
    ex.sockets.push_back(identity(st));
  return ex;
}

// The state of one walk: its parameters, the exclusions, the directories on
// the current walk path (a directory met again below itself, through a link
// or a bind mount, is a loop) and the path of the entry at hand.
struct Walk {
  int *param = nullptr;
  off_t max = 0;
  Excluded excluded;
  std::vector<Identity> stack;
  std::string path;
};

// The files still in flight come first: a line of the walk goes after
// theirs, as with one file at a time.
void flush_for(int level) {
  if (CheckLogLevel(level) == 0) pipeline_flush();
}

void status_error(const char *path, int err) {
  pipeline_flush();
  ShownName shown(path);
  MsgLog(OrnixLog, 8, "- %s ... file status error(%s)\n", shown.c_str(), strerror(err));
  Output(Report, 1, "Error! %s : lstat64 error(%s)\n", shown.c_str(), strerror(err));
  error_file_num++;
}

// A directory that cannot be read hides its files: an error of the run.
void directory_error(const char *path, int err) {
  pipeline_flush();
  ShownName shown(path);
  MsgLog(OrnixLog, 1, "Could not open directory(%s)\n", shown.c_str());
  Output(Report, 1, "Error! %s : opendir error(%s)\n", shown.c_str(), strerror(err));
  error_file_num++;
}

bool mask_excludes(const char *path) {
  return exclude_mask != nullptr && *exclude_mask && match2(path, exclude_mask, 0) == 1;
}

void visit(Walk &w, int dirfd, const char *name, int level);

// Opens the directory name in parent as the one that was looked at (st):
// through a link only when the walk follows one.
DIR *open_directory(int parent, const char *name, const struct stat &st, bool link) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW);
  int fd = openat(parent, name, flags);
  if (fd < 0) return nullptr;
  struct stat self;
  if (fstat(fd, &self) != 0 || identity(self) != identity(st)) {
    close(fd);
    errno = ESTALE;
    return nullptr;
  }
  DIR *d = fdopendir(fd);
  if (d == nullptr) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return d;
}

int directory_check(Walk &w, int parent, const char *name, const struct stat &st, bool link,
                    int level) {
  const char *path = w.path.c_str();
  flush_for(96);
  ShownName shown(path);
  FileCounter++;
  scan_dir_num++;
  if (ShowLevel & 8) guruguru(FileCounter, shown.c_str());
  MsgLog(OrnixLog, 96, "d %s ... ", shown.c_str());
  if (listed(w.excluded.dirs, st)) {
    MsgPut(OrnixLog, 32, " exclude (not scan directory)\n");
    return 0;
  }
  if (mask_excludes(path)) {
    MsgPut(OrnixLog, 32, " exclude\n");
    exclude_file_num++;
    return 0;
  }
  MsgPut(OrnixLog, 96, " scan\n");
  DIR *dir = open_directory(parent, name, st, link);
  if (dir == nullptr) {
    directory_error(path, errno);
    return 0;
  }
  w.stack.push_back(identity(st));
  const size_t base = w.path.size();
  const bool root = w.path == "/";
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(dir);
    if (e == nullptr) {
      if (errno != 0) directory_error(w.path.c_str(), errno);
      break;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (!root) w.path += '/';
    w.path += e->d_name;
    visit(w, ::dirfd(dir), e->d_name, level);
    w.path.resize(base);
  }
  closedir(dir);
  w.stack.pop_back();
  return 0;
}

// The walk goes where a directory (or a link to one) is allowed to take it.
void enter_directory(Walk &w, int parent, const char *name, const struct stat &st, bool link,
                     int level) {
  if (listed(w.stack, st)) {
    flush_for(32);
    MsgPut(OrnixLog, 32, "d %s ... exclude (directory loop)\n", ShownName(w.path.c_str()).c_str());
    exclude_file_num++;
    return;
  }
  directory_check(w, parent, name, st, link, level);
}

void check_regular(Walk &w, int dirfd, const char *name, const struct stat &st, bool link) {
  WalkEntry e;
  e.path = w.path.c_str();
  e.dirfd = dirfd;
  e.name = name;
  e.st = st;
  e.link = link;
  file_check(e, w.param, w.max);
}

void not_scanned(const char *format, const char *path) {
  flush_for(32);
  MsgPut(OrnixLog, 32, format, ShownName(path).c_str());
  exclude_file_num++;
}

void visit_link(Walk &w, int dirfd, const char *name, struct stat st, int level) {
  const char *path = w.path.c_str();
  if (symlink_scan_flag <= 0) return not_scanned("l %s ... could not scan(symlink)\n", path);
  struct stat target;
  if (fstatat(dirfd, name, &target, 0) == 0) st = target;
  if (S_ISDIR(st.st_mode)) {
    if (dir_scan_flag > 0) return enter_directory(w, dirfd, name, st, true, level);
    return not_scanned("l %s ... could not scan(symlink directory)\n", path);
  }
  if (S_ISREG(st.st_mode)) return check_regular(w, dirfd, name, st, true);
  not_scanned("? %s ... could not scan(symlink)\n", path);
}

// One entry of the walk (recusion_check): w.path is its path.
void visit(Walk &w, int dirfd, const char *name, int level) {
  check_stop();
  const char *path = w.path.c_str();
  level++;
  if (level > w.param[P_MAXCHECKLEVEL]) {
    flush_for(32 | 8192);
    MsgLog(OrnixLog, 8192, "[DEBUG] scan level: %d(> %d)\n", level, w.param[P_MAXCHECKLEVEL]);
    MsgLog(OrnixLog, 32, "- %s ... scan level over!(max:%d)\n", ShownName(path).c_str(),
           w.param[P_MAXCHECKLEVEL]);
    return;
  }
  if (mask_excludes(path)) {
    flush_for(32);
    MsgLog(OrnixLog, 32, "? %s ... exclude\n", ShownName(path).c_str());
    exclude_file_num++;
    return;
  }
  if (w.path.size() >= FC_PATH_MAX) return status_error(path, ENAMETOOLONG);
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) < 0) return status_error(path, errno);
  if (listed(w.excluded.sockets, st)) {
    flush_for(32);
    MsgLog(OrnixLog, 32, "- %s ... exclude\n", ShownName(path).c_str());
    exclude_file_num++;
  } else if (S_ISDIR(st.st_mode)) {
    if (dir_scan_flag > 0) return enter_directory(w, dirfd, name, st, false, level);
    not_scanned("d %s ... could not scan\n", path);
  } else if (S_ISLNK(st.st_mode)) {
    visit_link(w, dirfd, name, st, level);
  } else if (S_ISREG(st.st_mode)) {
    check_regular(w, dirfd, name, st, false);
  } else {
    not_scanned("? %s ... could not scan\n", path);
  }
}

// The directory that holds the last component of a command-line path, and
// that component. The path is the administrator's: its own components are
// followed as a shell would follow them, links included, from "/" or from
// the working directory (which need not have a readable name); only what the
// walk finds below it is reached without links.
UniqueFd open_arg_parent(const char *arg, std::string *leaf) {
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  std::string p(arg);
  // One open while the kernel takes the path: the same links followed, and
  // no start from a bare "/", which an emulator may map to its own root.
  size_t slash = p.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash + 1 == p.size() ? p
                    : slash == 0 ? "/" : p.substr(0, slash);
  *leaf = slash == std::string::npos ? p : slash + 1 == p.size() ? "." : p.substr(slash + 1);
  UniqueFd direct(open(dir.c_str(), flags));
  if (direct.ok() || errno != ENAMETOOLONG) return direct;
  UniqueFd cur(open(arg[0] == '/' ? "/" : ".", flags));
  size_t pos = 0;
  *leaf = ".";
  while (cur.ok()) {
    while (pos < p.size() && p[pos] == '/') pos++;
    if (pos >= p.size()) break;
    size_t end = p.find('/', pos);
    if (end == std::string::npos) {
      *leaf = p.substr(pos);
      break;
    }
    cur = UniqueFd(openat(cur.get(), p.substr(pos, end - pos).c_str(), flags));
    pos = end;
  }
  return cur;
}

// The working directory as text, however long; false when it has none.
bool current_dir(std::string *out) {
  std::vector<char> buf(1024);
  while (buf.size() <= 65536) {
    if (getcwd(buf.data(), buf.size()) != nullptr) {
      *out = buf.data();
      return true;
    }
    if (errno != ERANGE) return false;
    buf.resize(buf.size() * 2);
  }
  return false;
}

// Cuts trailing "/" (never the first character); the length before the cut.
size_t cut_slashes(char *p) {
  size_t len = strlen(p), cut = len;
  while (cut > 1 && p[cut - 1] == '/') p[--cut] = '\0';
  return len;
}

}  // namespace

void build_scan_param(int *param, off_t *max, time_t check_time) {
  param[P_MAXSCANTIME] = config_num("filescan.options", "MaxScanTime");
  param[P_MAXRECURSION] = config_num("filescan.options", "MaxRecursion");
  param[P_ALERTCOUNT] = alert_count_flag;
  param[P_MAXRATIO] = config_num("filescan.options", "MaxRatio");
  param[P_READTIMEOUT] = config_num("filescan.options", "ReadTimeout");
  param[P_ARCHIVESCAN] = config_yesno("filescan.options", "ArchiveScan");
  param[P_MAILBOXSCAN] = config_yesno("filescan.options", "MailboxScan");
  param[P_REPAIR] = config_yesno("filescan.options", "RepairFile");
  param[P_MAXCHECKLEVEL] = config_num("filescan.options", "MaxCheckLevel");
  param[P_CHECKTIME] = static_cast<int>(check_time);
  param[P_UPDATEONLY] = updateonly_flag;
  param[P_EXECONLY] = executableonly_flag;
  param[P_MD5CHECK] = md5check_flag;
  param[P_MOVEMODE] =
      static_cast<int>(strtol(config_text("filescan.options", "FileMoveMode"), nullptr, 8)) & 07777;
  param[P_MOVEOWNER] = 0;
  const char *pass = config_text("filescan.options", "EnginePassDescriptor");
  param[P_PASSFD] = pass_descriptor_mode(pass);
  if (param[P_PASSFD] < 0) {
    MsgLog(OrnixLog, 1, "[Warning] EnginePassDescriptor=%s is not auto, always or no: auto used\n",
           pass);
    param[P_PASSFD] = PASSFD_AUTO;
  }
  *max = config_size("filescan.options", "MaxSize");
}

int pass_descriptor_mode(const char *text) {
  if (text == nullptr || *text == '\0' || strcasecmp(text, "auto") == 0) return PASSFD_AUTO;
  if (strcasecmp(text, "always") == 0) return PASSFD_ALWAYS;
  if (strcasecmp(text, "no") == 0) return PASSFD_NO;
  return -1;
}

int resolve_scan_path(const char *path, size_t orig_len, const char *cwd, std::string *out) {
  const bool dotdot = strncmp(path, "..", 2) == 0 && (path[2] == '\0' || path[2] == '/');
  if (path[0] == '/') {
    *out = path;
  } else if (strcmp(path, ".") == 0 && orig_len == 1) {
    *out = cwd;
  } else if (dotdot) {
    std::string parent(cwd);
    size_t slash = parent.rfind('/');
    if (slash == std::string::npos || slash == 0)
      parent = "/";
    else
      parent.resize(slash);
    if (path[2] == '/')
      *out = parent == "/" ? parent + (path + 3) : parent + (path + 2);
    else
      *out = parent;
  } else if (strncmp(path, "./", 2) == 0) {
    *out = std::string(cwd) + (path + 1);
  } else {
    // "..x", "...", ".hidden": names like any other.
    *out = std::string(cwd) + "/" + path;
  }
  return out->size() < FC_PATH_MAX ? 0 : -2;
}

int FileCheck(int num, char **paths, time_t check_time) {
  if (clamd_is_running(SocketPath) == -1) {
    MsgLog(OrnixLog, 1, "clamd not running!\n");
    return -1;
  }
  Walk w;
  int param[P_SLOTS];
  build_scan_param(param, &w.max, check_time);
  w.param = param;
  w.excluded = take_excluded();

  std::string cwd;
  bool have_cwd = current_dir(&cwd);
  if (!have_cwd)
    MsgLog(OrnixLog, 1, "Could not get current working directory(%s)\n", strerror(errno));
  ShownName shown_cwd(cwd.c_str());
  MsgLog(OrnixLog, 2, "Current working directory : %s\n", shown_cwd.c_str());
  Output(Report, 2, "Current working directory : %s\n\n", shown_cwd.c_str());

  pipeline_open();
  for (int i = 0; i < num; i++) {
    pipeline_flush();
    char *p = paths[i];
    size_t len = cut_slashes(p);
    // Without the working directory's name a relative path is shown as given;
    // it is walked all the same.
    std::string resolved = p;
    if (have_cwd && resolve_scan_path(p, len, cwd.c_str(), &resolved) != 0) {
      MsgLog(OrnixLog, 1, "Scan Path %d : %s ... path too long(max %d)\n", i + 1,
             ShownName(p).c_str(), FC_PATH_MAX - 1);
      Output(Report, 1, "Error! %s : path too long\n", ShownName(p).c_str());
      error_file_num++;
      continue;
    }
    ShownName shown(resolved.c_str());
    MsgLog(OrnixLog, 2, "Scan Path %d : %s\n", i + 1, shown.c_str());
    Output(Report, 2, "\nScan Path %d : %s\n", i + 1, shown.c_str());
    MsgLog(OrnixLog, 8192, "[DEBUG] recursion call - %llu\n",
           static_cast<unsigned long long>(w.max));
    w.stack.clear();
    w.path.reserve(FC_PATH_MAX + 256);  // grown and cut in place by the walk
    w.path = resolved;
    std::string leaf;
    UniqueFd parent = open_arg_parent(p, &leaf);
    if (!parent.ok()) {
      status_error(resolved.c_str(), errno);
      continue;
    }
    visit(w, parent.get(), leaf.c_str(), 0);
  }
  pipeline_close();
  return 0;
}

int FileCheck2(char *path, time_t check_time) {
  if (clamd_is_running(SocketPath) == -1) {
    printf("clamd not running!\n");
    return -1;
  }
  int param[P_SLOTS];
  off_t max = 0;
  build_scan_param(param, &max, check_time);

  std::string cwd;
  bool have_cwd = current_dir(&cwd);
  size_t len = cut_slashes(path);
  std::string resolved = path;
  if (have_cwd && resolve_scan_path(path, len, cwd.c_str(), &resolved) != 0) return -1;
  WalkEntry e;
  std::string leaf;
  UniqueFd parent = open_arg_parent(path, &leaf);
  if (!parent.ok() || fstatat(parent.get(), leaf.c_str(), &e.st, AT_SYMLINK_NOFOLLOW) < 0) {
    printf("Error! %s not found\n", ShownName(resolved.c_str()).c_str());
    return -1;
  }
  struct stat target;
  if (S_ISLNK(e.st.st_mode) && fstatat(parent.get(), leaf.c_str(), &target, 0) == 0) {
    e.st = target;
    e.link = true;
  }
  e.path = resolved.c_str();
  e.dirfd = parent.get();
  e.name = leaf.c_str();
  return file_check(e, param, max);
}
