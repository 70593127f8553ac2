// The per-file pipeline: the filters that decide without the engine, the
// engine call, the result class, the log and report lines, the counters, the
// action on matched files, the engine health check and the cache insertion.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cache_check.h"
#include "clamav_api.h"
#include "convert.h"
#include "filecheck.h"
#include "filecheck_util.h"
#include "log.h"
#include "md5.h"
#include "ornix_common.h"
#include "ornixfs.h"
#include "safe_file.h"
#include "wait_scale.h"


namespace {

AVEAPI_RESULTS results;

const char reason_text[10][32] = {"OK",         "timeout",    "abend", "stat error",
                                  "size over",  "scan error", "select error", "", "", ""};

// The ASCII hard link of the scan in progress, for the signal path.
char temp_link[FC_PATH_MAX];
volatile sig_atomic_t temp_link_live = 0;

// The date, time and size texts of a file, made only when a line that shows
// them is going to be written: most files of a run show nothing.
class FileTexts {
 public:
  explicit FileTexts(const struct stat *st) : st_(st) {}
  const char *date() { return make(), date_; }
  const char *time() { return make(), time_; }
  const char *size() { return make(), size_.c_str(); }

 private:
  void make() {
    if (ready_) return;
    ready_ = true;
    struct tm tm;
    time_t mt = st_->st_mtime;
    date_[0] = time_[0] = '\0';
    if (localtime_r(&mt, &tm) != nullptr) {
      if (strftime(date_, sizeof(date_), DateFormat ? DateFormat : "%Y/%m/%d", &tm) == 0)
        date_[0] = '\0';
      if (strftime(time_, sizeof(time_), TimeFormat ? TimeFormat : "%H:%M:%S", &tm) == 0)
        time_[0] = '\0';
    }
    size_ = size_text(static_cast<long long>(st_->st_size));
  }
  const struct stat *st_;
  bool ready_ = false;
  char date_[128];
  char time_[128];
  std::string size_;
};

void erase_if_terminal() {
  if (Report == stdout || Report == nullptr) erase_line();
}

void block_head(int level, const char *path, FileTexts &t) {
  erase_if_terminal();
  if (check_level(level) != 0) return;
  Output(Report, level, "\nFile: %s\n", path);
  Output(Report, level, "Date: %s %s    Size: %s byte\n", t.date(), t.time(), t.size());
}

// The digest is taken only of a regular file, through a descriptor opened
// without blocking, so a fifo or device put in a file's place is never read.
// A read error part-way gives no digest: the file is then scanned, not cached.
int file_digest(const char *path, unsigned char *digest, struct stat *seen) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat &st = *seen;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  static unsigned char buf[65536];
  MD5_CTX ctx;
  MD5Init(&ctx);
  int rc = 0;
  off_t total = 0;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = -1;
      break;
    }
    if (n == 0) break;
    MD5Update(&ctx, buf, static_cast<uint32_t>(n));
    total += n;
    // A short read once the size seen by fstat is in is the end of the file:
    // no extra read just to be told so.
    if (static_cast<size_t>(n) < sizeof(buf) && total >= st.st_size) break;
  }
  close(fd);
  if (rc == 0) MD5Final(digest, &ctx);
  return rc;
}

// The verdict of a scan may be cached only for the contents that were digested:
// a file changed or replaced between the digest and the scan is not cached.
bool unchanged_since(const char *path, const struct stat &seen) {
  struct stat now;
  if (stat(path, &now) != 0) return false;
  return now.st_dev == seen.st_dev && now.st_ino == seen.st_ino && now.st_size == seen.st_size &&
         now.st_mtim.tv_sec == seen.st_mtim.tv_sec && now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == seen.st_ctim.tv_sec && now.st_ctim.tv_nsec == seen.st_ctim.tv_nsec;
}

// The path the engine must open: the file itself, never a symbolic link.
std::string engine_path(const char *path, const struct stat *st) {
  struct stat lst;
  bool link = S_ISLNK(st->st_mode) ||
              (symlink_scan_flag > 0 && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode));
  if (!link) return path;
  char *real = realpath(path, nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  free(real);
  return out;
}

// Scans the file under an ASCII name: a hard link in TempPath, made and
// removed through the directory's descriptor. Returns the engine result, or
// -1 with *local set for a failure of our own.
int scan_through_link(const char *path, int *param, off_t max, const char **local) {
  const char *dir = TempPath ? TempPath : "/tmp";
  UniqueFd dfd = open_dir(dir);
  const int dir_err = errno;
  for (int attempt = 0; attempt < 8; attempt++) {
    std::string name = "fs_" + random_suffix();
    std::string tmp = std::string(dir) + "/" + name;
    if (tmp.size() >= sizeof(temp_link)) {
      MsgLog(OrnixLog, 1, "error: link error fname=%s (%s)\n", tmp.c_str(), strerror(ENAMETOOLONG));
      *local = "link error";
      return -1;
    }
    MsgLog(OrnixLog, 8192, "[DEBUG] scan(j): %s\n", tmp.c_str());
    memcpy(temp_link, tmp.c_str(), tmp.size() + 1);
    temp_link_live = 1;
    // Follow a symbolic link, so that the engine is given the file itself.
    FileId made;
    if (!dfd.ok() || linkat(AT_FDCWD, path, dfd.get(), name.c_str(), AT_SYMLINK_FOLLOW) < 0 ||
        name_id(dfd.get(), name.c_str(), &made) != 0) {
      int err = dfd.ok() ? errno : dir_err;
      temp_link_live = 0;
      if (err == EEXIST) continue;  // a name drawn twice: draw again
      MsgLog(OrnixLog, 1, "error: link error fname=%s (%s)\n", tmp.c_str(), strerror(err));
      *local = "link error";
      return -1;
    }
    int rc = clamd_scan(SocketPath, tmp.c_str(), &results, param[P_MAXSCANTIME], max);
    // Only our own link goes, never a name put in its place meanwhile.
    unlink_at(dfd.get(), name.c_str(), &made);
    temp_link_live = 0;
    return rc;
  }
  MsgLog(OrnixLog, 1, "error: link error fname=%s (%s)\n", path, strerror(EEXIST));
  *local = "link error";
  return -1;
}

// Scans the open file: opened here without following links and only when it
// is the file the walk saw; closed once the engine has answered.
int scan_descriptor(const char *path, const struct stat &walked, int *param, off_t max,
                    const char **local) {
  std::string err;
  UniqueFd fd = open_walked_file(path, walked, &err);
  if (!fd.ok()) {
    MsgLog(OrnixLog, 1, "error: %s\n", err.c_str());
    *local = "open error";
    return -1;
  }
  return clamd_scan_fildes(SocketPath, fd.get(), &results, param[P_MAXSCANTIME], max);
}

void engine_health_check() {
  scaled_pause_ms(10 * 1000);
  check_stop();
  if (clamd_is_running(SocketPath) == 0) return;
  MsgLog(OrnixLog, 1, "* clamd not running! clamd down!\n");
  int auto_start = config_yesno("aveserver", "AVEAutoStart");
  MsgLog(OrnixLog, 8192, "[DEBUG] AV Engine auto start status: %d, socket_dir=%s\n", auto_start,
         SocketPath);
  if (auto_start) {
    if (ClamdRestartCount > 5) {
      MsgLog(OrnixLog, 1, "* clamd engine restart count limit over(5)\n");
      abort_exit(15);
    }
    MsgLog(OrnixLog, 1, "* clamd auto start process start!\n");
    Output(Report, 1, "* clamd auto start process start!\n");
    MsgLog(OrnixLog, 1, "* clamd engine restarting ...\n");
    if (start_supervisor(nullptr) != 0) MsgLog(OrnixLog, 1, "* clamd engine restart command failed\n");
    check_stop();
    if (clamd_is_running(SocketPath) != 0) {
      MsgLog(OrnixLog, 1, "* clamd engine not execute.\n");
      abort_exit(15);
    }
    engine_restarted();
    MsgLog(OrnixLog, 1, "* clamd engine auto start completely.(%d times)\n", ClamdRestartCount + 1);
  }
  ClamdRestartCount++;
}

// Step of an incomplete scan: the archive and engine flags decide the class.
int incomplete_class(const char *path, int *param, off_t max, int cls) {
  if (results.reachedArchiveMaxSize) {
    MsgLog(OrnixLog, 8, "- %s ... archive size limit over\n", path);
    MsgLog(OrnixLog, 16, "warning: reached archive maximum size! (%lu)\n",
           static_cast<unsigned long>(max));
    cls = SCAN_ARCHIVE_LIMIT;
  }
  if (results.reachedArchiveMaxRecursion) {
    MsgLog(OrnixLog, 8, "- %s ... suspicious archive\n", path);
    MsgLog(OrnixLog, 16, "warning: reached archive maximum recursion level! (%d)\n",
           param[P_MAXRECURSION]);
    cls = SCAN_SUSPICIOUS;
  }
  if (results.reachedArchiveMaxRatio) {
    MsgLog(OrnixLog, 8, "- %s ... reached archive maximum ratio\n", path);
    MsgLog(OrnixLog, 16, "warning: reached archive maximum ratio %d", param[P_MAXRATIO]);
    cls = SCAN_ARCHIVE_LIMIT;
  }
  if (results.archiveEncrypted) {
    MsgLog(OrnixLog, 8, "- %s ... encrypted archive\n", path);
    MsgLog(OrnixLog, 16, "warning: encrypted archive!\n");
    protected_file_num++;
    cls = SCAN_PROTECTED;
  }
  if (results.archiveUnsupported) {
    MsgLog(OrnixLog, 8, "- %s ... unsupported archive format or method\n", path);
    cls = SCAN_ARCHIVE_LIMIT;
  }
  if (results.error == CLAMD_AVE_PROBLEM) {
    MsgLog(OrnixLog, 8, "- %s ... AV engine abend\n", path);
    MsgLog(OrnixLog, 16, "warning: clamd error!\n");
    cls = SCAN_ERROR;
  }
  MsgLog(OrnixLog, 16, "warning: not scanned completely\n");
  if (cls == SCAN_CLEAN) cls = SCAN_ARCHIVE_LIMIT;
  return cls;
}

int reason_class(int cls) {
  switch (results.error) {
    case CLAMD_SCAN_TIMED_OUT:
      MsgLog(OrnixLog, 8, "- warning: scan timeout\n");
      return SCAN_TIMEOUT;
    case CLAMD_AVE_PROBLEM:
      MsgLog(OrnixLog, 8, "- warning: scan engine abend\n");
      return SCAN_ERROR;
    case CLAMD_AVE_SELECT_ERROR:
      MsgLog(OrnixLog, 8, "- warning: scan engine socket select error)\n");
      return SCAN_ERROR;
    case CLAMD_FSTAT_ERROR:
      MsgLog(OrnixLog, 8, "- warning: scan file lstat error\n");
      return SCAN_ERROR;
    case CLAMD_FSIZE_ERROR:
      MsgLog(OrnixLog, 8, "- warning: scan file size over\n");
      return SCAN_ERROR;
    case CLAMD_SCAN_ERROR:
      MsgLog(OrnixLog, 8, "- warning: engine filescan error(see detail clamd logfile)\n");
      return SCAN_ERROR;
    default:
      return cls;
  }
}

void act_if(int bit, const char *path, int *param) {
  ScannedFile f;
  f.path = path;
  if (scan_level & bit) object_action(f, param[P_MOVEMODE], param[P_MOVEOWNER]);
}

// Result block and counters of a file whose class is not clean.
void report_class(int cls, const char *path, FileTexts &t, const std::string &vname,
                  int *param) {
  if (param[P_ALERTCOUNT]) alert_num++;
  block_head(8, path, t);
  switch (cls) {
    case SCAN_INFECTED:
      if (!param[P_ALERTCOUNT]) alert_num++;
      Output(Report, 8, "Result: infected! >>> %s\n", vname.c_str());
      act_if(1, path, param);
      break;
    case SCAN_PROTECTED:
      Output(Report, 8, "Result: encrypted archive\n");
      act_if(2, path, param);
      break;
    case SCAN_ERROR:
      error_file_num++;
      Output(Report, 8, "Result: scan error\n");
      act_if(8, path, param);
      break;
    case SCAN_SUSPICIOUS:
      if (!param[P_ALERTCOUNT]) alert_num++;
      Output(Report, 8, "Result: suspicious archive\n");
      act_if(4, path, param);
      break;
    case SCAN_TIMEOUT:
      error_file_num++;
      Output(Report, 8, "Result: scan timeout\n");
      break;
    case SCAN_ARCHIVE_LIMIT:
      error_file_num++;
      Output(Report, 8, "Result: check archive(size,ratio,format,method)\n");
      break;
    default:
      break;
  }
}

}  // namespace

void filecheck_cleanup(void) {
  if (temp_link_live) {
    unlink(temp_link);
    temp_link_live = 0;
  }
}

int file_check(const char *path, struct stat *st, int *param, off_t max) {
  check_stop();
  FileCounter++;
  if (ShowLevel & 8) guruguru(FileCounter, path);
  scan_file_num++;
  FileTexts t(st);

  // Only the single-file mode can hand over something that is not a regular
  // file; a fifo, socket or device is never opened, nor given to the engine.
  struct stat target = *st;
  if (S_ISLNK(target.st_mode) && stat(path, &target) != 0) target = *st;
  if (!S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode) && !S_ISLNK(target.st_mode)) {
    MsgLog(OrnixLog, 8, "- %s ... could not scan (not a regular file)\n", path);
    error_file_num++;
    if (param[P_ALERTCOUNT]) alert_num++;
    block_head(8, path, t);
    Output(Report, 8, "Result: scan error\n");
    return SCAN_ERROR;
  }

  if (param[P_EXECONLY] == 1 && (st->st_mode & 0111) == 0) {
    MsgLog(OrnixLog, 32, "- %s ... exclude(exec file only)\n", path);
    block_head(256, path, t);
    Output(Report, 256, "Result: scan OK (exec file only)\n");
    exclude_file_num++;
    return SCAN_CLEAN;
  }
  bool has_incl = include_mask != nullptr && *include_mask;
  bool has_excl = exclude_mask != nullptr && *exclude_mask;
  if (has_incl || has_excl) {
    bool excluded = has_incl ? match2(path, include_mask, 0) == 0 : match2(path, exclude_mask, 0) == 1;
    if (excluded) {
      MsgLog(OrnixLog, 32, "- %s ... exclude\n", path);
      block_head(256, path, t);
      Output(Report, 256, "Result: scan OK (pattern match exclude)\n");
      exclude_file_num++;
      return SCAN_CLEAN;
    }
  }
  if (max != 0 && st->st_size > max) {
    MsgLog(OrnixLog, 32, "- %s ... exclude (file size exclude)\n", path);
    block_head(256, path, t);
    Output(Report, 256, "Result: scan OK (file size exclude)\n");
    exclude_file_num++;
    return SCAN_CLEAN;
  }
  if (param[P_UPDATEONLY] == 1 && st->st_ctime < param[P_CHECKTIME]) {
    MsgLog(OrnixLog, 64, "- %s ... scan OK (check time exclude)\n", path);
    block_head(256, path, t);
    Output(Report, 256, "Result: scan OK (check time exclude)\n");
    return SCAN_CLEAN;
  }

  char hex[33] = "";
  bool have_digest = false;
  struct stat digested;
  if (param[P_MD5CHECK] == 1) {
    unsigned char digest[16];
    if (file_digest(path, digest, &digested) == 0) {
      md5hex(digest, hex);
      have_digest = true;
      MsgLog(OrnixLog, 512, "- %s(MD5:%32s)\n", path, hex);
      if (CDBcheck(hex) == 0) {
        MsgLog(OrnixLog, 64, "- %s ... scan OK (cache hit)\n", path);
        block_head(256, path, t);
        Output(Report, 256, "Result: scan OK (cache hit:%32s)\n", hex);
        return SCAN_CLEAN;
      }
    }
  }

  memset(&results, 0, sizeof(results));
  int cls = SCAN_CLEAN;
  const char *local = nullptr;
  // clamd answers OK for a symbolic link without reading what it points to:
  // the engine is given the link's target instead.
  std::string target_path = engine_path(path, st);
  const char *scan_path = target_path.c_str();
  int rc;
  if (param[P_PASSFD] == PASSFD_ALWAYS)
    rc = scan_descriptor(scan_path, target, param, max, &local);
  else if (is_ascii_name(scan_path))
    rc = clamd_scan(SocketPath, scan_path, &results, param[P_MAXSCANTIME], max);
  else
    rc = scan_through_link(scan_path, param, max, &local);
  if (rc < 0 && !local && results.accessDenied && param[P_PASSFD] == PASSFD_AUTO) {
    // The engine's user may not read the file; we opened it, so we hand it over.
    MsgLog(OrnixLog, 8192, "[DEBUG] engine refused access, descriptor passed: %s\n", path);
    clamd_cleanup_results(&results);
    memset(&results, 0, sizeof(results));
    rc = scan_descriptor(scan_path, target, param, max, &local);
  }

  if (rc < 0) {
    int reason = static_cast<int>(results.error);
    const char *why = local ? local : (reason >= 0 && reason < 10 && reason_text[reason][0])
                                          ? reason_text[reason]
                                          : "unknown";
    MsgLog(OrnixLog, 8, "- %s ... scan error\n", path);
    if (CheckLogLevel(16) == 0)
      MsgLog(OrnixLog, 16, "  Date: %s %s    Size: %s byte\n", t.date(), t.time(), t.size());
    MsgLog(OrnixLog, 16, "error(%s): scan failed %s!!\n", why, path);
    cls = SCAN_ERROR;
    if (!local) cls = reason_class(cls);
  }
  // A failure that was a stop request is no verdict on the file.
  if (rc < 0) check_stop();
  if (results.notScannedCompletely) cls = incomplete_class(path, param, max, cls);
  if (!local && (results.error == CLAMD_AVE_PROBLEM || results.error == CLAMD_AVE_SELECT_ERROR ||
                 results.error == CLAMD_SCAN_TIMED_OUT))
    engine_health_check();

  std::string vname;
  if (rc > 0) {
    cls = SCAN_INFECTED;
    infected_file_num++;
    MsgLog(OrnixLog, 8, "- %s ... infected!!!\n", path);
    for (AVEAPI_ALERT *a = results.alertList; a != nullptr; a = a->next) {
      vname = a->string ? a->string : "";
      char *decoded = DecodeHeaderMIME(vname.c_str());
      MsgLog(OrnixLog, 8, "  >>> %s\n", decoded ? decoded : vname.c_str());
      free(decoded);
    }
  }

  if (cls != SCAN_CLEAN) {
    report_class(cls, path, t, vname, param);
  } else {
    MsgLog(OrnixLog, 64, "- %s ... scan OK\n", path);
    block_head(256, path, t);
    Output(Report, 256, "Result: scan OK\n");
    if (have_digest && !unchanged_since(path, digested)) {
      MsgLog(OrnixLog, 16, "- %s ... changed while scanned, not cached\n", path);
    } else if (have_digest && CDBadd(hex) == -1) {
      Output(Report, 1, "- %s ... cache append error\n", path);
    }
  }
  clamd_cleanup_results(&results);
  return cls;
}
