// The directory walk: resolving the command-line paths, the depth limit, the
// protected trees, the exclude mask and the symbolic-link rules. The walk is
// recursive and holds only the path being visited and one directory stream
// per level, so its memory does not grow with the size of the tree.
#include "filecheck.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

// Directories on the current walk path, by device and inode: a directory met
// again below itself (through a symbolic link or a bind mount) is a loop.
std::vector<std::pair<dev_t, ino_t>> walk_stack;

bool on_walk_path(const struct stat &st) {
  for (const auto &e : walk_stack)
    if (e.first == st.st_dev && e.second == st.st_ino) return true;
  return false;
}

class DirStream {
 public:
  explicit DirStream(const char *path) : d_(opendir(path)) {}
  ~DirStream() {
    if (d_) closedir(d_);
  }
  DirStream(const DirStream &) = delete;
  DirStream &operator=(const DirStream &) = delete;
  DIR *get() const { return d_; }

 private:
  DIR *d_;
};

bool has_prefix(const char *path, const char *prefix) {
  return prefix != nullptr && strncmp(path, prefix, strlen(prefix)) == 0;
}

// The walk goes where a directory (or a link to one) is allowed to take it.
void enter_directory(const char *path, const struct stat &st, int *param, off_t max, int level) {
  if (on_walk_path(st)) {
    MsgPut(OrnixLog, 32, "d %s ... exclude (directory loop)\n", path);
    exclude_file_num++;
    return;
  }
  directory_check(path, param, max, level);
}

void status_error(const char *path, int err) {
  MsgLog(OrnixLog, 8, "- %s ... file status error(%s)\n", path, strerror(err));
  Output(Report, 1, "Error! %s : lstat64 error(%s)\n", path, strerror(err));
  error_file_num++;
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
  if (path[0] == '/') {
    *out = path;
  } else if (strcmp(path, ".") == 0 && orig_len == 1) {
    *out = cwd;
  } else if (strncmp(path, "..", 2) == 0) {
    std::string parent(cwd);
    size_t slash = parent.rfind('/');
    if (slash == std::string::npos || slash == 0)
      parent = "/";
    else
      parent.resize(slash);
    if (orig_len > 2) {
      if (path[2] != '/') return -1;
      *out = parent == "/" ? parent + (path + 3) : parent + (path + 2);
    } else {
      *out = parent;
    }
  } else if (strncmp(path, "./", 2) == 0) {
    *out = std::string(cwd) + (path + 1);
  } else {
    *out = std::string(cwd) + "/" + path;
  }
  return out->size() < FC_PATH_MAX ? 0 : -2;
}

void recusion_check(const char *path, int *param, off_t max, int level) {
  check_stop();
  level++;
  if (level > param[P_MAXCHECKLEVEL]) {
    MsgLog(OrnixLog, 8192, "[DEBUG] scan level: %d(> %d)\n", level, param[P_MAXCHECKLEVEL]);
    MsgLog(OrnixLog, 32, "- %s ... scan level over!(max:%d)\n", path, param[P_MAXCHECKLEVEL]);
    return;
  }
  if (has_prefix(path, SocketPath)) {
    MsgLog(OrnixLog, 32, "- %s ... exclude\n", path);
    exclude_file_num++;
    return;
  }
  if (exclude_mask != nullptr && *exclude_mask && match2(path, exclude_mask, 0) == 1) {
    MsgLog(OrnixLog, 32, "? %s ... exclude\n", path);
    exclude_file_num++;
    return;
  }
  struct stat st;
  if (strlen(path) >= FC_PATH_MAX) {
    status_error(path, ENAMETOOLONG);
    return;
  }
  if (lstat(path, &st) < 0) {
    status_error(path, errno);
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if (dir_scan_flag > 0) {
      enter_directory(path, st, param, max, level);
    } else {
      MsgPut(OrnixLog, 32, "d %s ... could not scan\n", path);
      exclude_file_num++;
    }
  } else if (S_ISLNK(st.st_mode)) {
    if (symlink_scan_flag <= 0) {
      MsgPut(OrnixLog, 32, "l %s ... could not scan(symlink)\n", path);
      exclude_file_num++;
      return;
    }
    struct stat target;
    if (stat(path, &target) == 0) st = target;
    if (S_ISDIR(st.st_mode)) {
      if (dir_scan_flag > 0) {
        enter_directory(path, st, param, max, level);
      } else {
        MsgPut(OrnixLog, 32, "l %s ... could not scan(symlink directory)\n", path);
        exclude_file_num++;
      }
    } else if (S_ISREG(st.st_mode)) {
      file_check(path, &st, param, max);
    } else {
      MsgPut(OrnixLog, 32, "? %s ... could not scan(symlink)\n", path);
      exclude_file_num++;
    }
  } else if (S_ISREG(st.st_mode)) {
    file_check(path, &st, param, max);
  } else {
    MsgPut(OrnixLog, 32, "? %s ... could not scan\n", path);
    exclude_file_num++;
  }
}

int directory_check(const char *path, int *param, off_t max, int level) {
  FileCounter++;
  scan_dir_num++;
  if (ShowLevel & 8) guruguru(FileCounter, path);
  MsgLog(OrnixLog, 96, "d %s ... ", path);
  if (strncmp(path, "/dev", 4) == 0 || strncmp(path, "/proc", 5) == 0 ||
      strncmp(path, "/sys", 4) == 0 || has_prefix(path, save_dir) || has_prefix(path, cache_dir)) {
    MsgPut(OrnixLog, 32, " exclude (not scan directory)\n");
    return 0;
  }
  if (exclude_mask != nullptr && *exclude_mask && match2(path, exclude_mask, 0) == 1) {
    MsgPut(OrnixLog, 32, " exclude\n");
    exclude_file_num++;
    return 0;
  }
  MsgPut(OrnixLog, 96, " scan\n");
  DirStream dir(path);
  if (dir.get() == nullptr) {
    MsgLog(OrnixLog, 1, "Could not open directory(%s)\n", path);
    return 0;
  }
  struct stat self;
  bool pushed = false;
  if (fstat(dirfd(dir.get()), &self) == 0) {
    walk_stack.emplace_back(self.st_dev, self.st_ino);
    pushed = true;
  }
  const bool root = strcmp(path, "/") == 0;
  std::string child;
  while (struct dirent *e = readdir(dir.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (root)
      child = std::string("/") + e->d_name;
    else
      child = std::string(path) + "/" + e->d_name;
    recusion_check(child.c_str(), param, max, level);
  }
  if (pushed) walk_stack.pop_back();
  return 0;
}

void FileCheck(int num, char **paths, time_t check_time) {
  if (clamd_is_running(SocketPath) == -1) {
    MsgLog(OrnixLog, 1, "clamd not running!\n");
    return;
  }
  int param[P_SLOTS];
  off_t max = 0;
  build_scan_param(param, &max, check_time);

  char cwd[FC_CWD_MAX];
  bool have_cwd = getcwd(cwd, sizeof(cwd)) != nullptr;
  if (!have_cwd) {
    MsgLog(OrnixLog, 1, "Could not get current working directory(%s)\n", strerror(errno));
    cwd[0] = '\0';
  }
  MsgLog(OrnixLog, 2, "Current working directory : %s\n", cwd);
  Output(Report, 2, "Current working directory : %s\n\n", cwd);

  for (int i = 0; i < num; i++) {
    char *p = paths[i];
    size_t len = strlen(p);
    size_t cut = len;
    while (cut > 1 && p[cut - 1] == '/') p[--cut] = '\0';
    if (p[0] != '/' && !have_cwd) {
      // Without the working directory a relative path would name another file.
      MsgLog(OrnixLog, 1, "Scan Path %d : %s could not be resolved\n", i + 1, p);
      continue;
    }
    std::string resolved;
    int rc = resolve_scan_path(p, len, cwd, &resolved);
    if (rc == -1) break;
    if (rc == -2) {
      MsgLog(OrnixLog, 1, "Scan Path %d : %s ... path too long(max %d)\n", i + 1, p, FC_PATH_MAX - 1);
      Output(Report, 1, "Error! %s : path too long\n", p);
      continue;
    }
    MsgLog(OrnixLog, 2, "Scan Path %d : %s\n", i + 1, resolved.c_str());
    Output(Report, 2, "\nScan Path %d : %s\n", i + 1, resolved.c_str());
    MsgLog(OrnixLog, 8192, "[DEBUG] recursion call - %llu\n", static_cast<unsigned long long>(max));
    walk_stack.clear();
    recusion_check(resolved.c_str(), param, max, 0);
  }
}

int FileCheck2(char *path, time_t check_time) {
  if (clamd_is_running(SocketPath) == -1) {
    printf("clamd not running!\n");
    return -1;
  }
  int param[P_SLOTS];
  off_t max = 0;
  build_scan_param(param, &max, check_time);

  char cwd[FC_CWD_MAX];
  bool have_cwd = getcwd(cwd, sizeof(cwd)) != nullptr;
  size_t len = strlen(path);
  size_t cut = len;
  while (cut > 1 && path[cut - 1] == '/') path[--cut] = '\0';
  if (path[0] != '/' && !have_cwd) return -1;
  std::string resolved;
  if (resolve_scan_path(path, len, have_cwd ? cwd : "", &resolved) != 0) return -1;
  struct stat st;
  if (lstat(resolved.c_str(), &st) < 0) {
    printf("Error! %s not found\n", resolved.c_str());
    return -1;
  }
  return file_check(resolved.c_str(), &st, param, max);
}
