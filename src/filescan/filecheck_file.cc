// The per-file pipeline: the filters that decide without the engine, the
// digest and cache look-up, and the engine request. It runs in three steps
// over one record of the file's state: prepare (filters, digest, cache
// look-up), the engine request, and complete (filecheck_result.cc: class,
// report lines, action, cache insertion). The file is reached by its name in
// the directory the walk holds open, never by its path: the engine is given
// the path only after checking that the path still leads to that file, and
// otherwise (a path it cannot take, a link) the open file itself.
#include <atomic>
#include <cerrno>
#include <cstdarg>
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
#include "clamav_jobs.h"
#include "convert.h"
#include "filecheck.h"
#include "filecheck_internal.h"
#include "filecheck_util.h"
#include "log.h"
#include "md5.h"
#include "ornix_common.h"
#include "ornixfs.h"
#include "safe_file.h"
#include "wait_scale.h"


namespace {

// The ASCII hard links of the scans in progress, for the signal path: one
// slot for each request that can be in flight, written before the link is
// made and cleared once it is gone.
struct LinkSlot {
  volatile sig_atomic_t live;
  char path[FC_PATH_MAX];
};
LinkSlot link_slots[CLAMD_JOBS_MAX + 1];

int claim_link_slot(const std::string &path) {
  for (int i = 0; i <= CLAMD_JOBS_MAX; i++) {
    if (link_slots[i].live) continue;
    memcpy(link_slots[i].path, path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    link_slots[i].live = 1;
    return i;
  }
  return -1;
}

void release_link_slot(int &slot) {
  if (slot >= 0) link_slots[slot].live = 0;
  slot = -1;
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A file decided without the engine: its log line and its result block.
bool decided(FileJob &j, int log_level, const char *log_format, const char *result,
             const char *reason) {
  job_log(j, log_level, log_format, j.shown.c_str());
  block_head(256, j);
  job_output(j, 256, "%s", result);
  j.cls = SCAN_CLEAN;
  j.rec.reason = reason;
  return true;
}

// The digest is taken only of the walked regular file, opened by its name
// without blocking, so a fifo or device put in a file's place is never read.
// A read error part-way gives no digest: the file is then scanned, not cached.
int file_digest(FileJob &j, unsigned char *digest) {
  UniqueFd fd = open_regular_at(j.e.dirfd, j.e.name, j.e.link, &j.digested);
  if (!fd.ok() || !same_file(j.digested, j.e.st)) return -1;
  unsigned char buf[65536];
  MD5_CTX ctx;
  MD5Init(&ctx);
  off_t total = 0;
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    MD5Update(&ctx, buf, static_cast<uint32_t>(n));
    total += n;
    // A short read once the size seen by fstat is in is the end of the file:
    // no extra read just to be told so.
    if (static_cast<size_t>(n) < sizeof(buf) && total >= j.digested.st_size) break;
  }
  MD5Final(digest, &ctx);
  return 0;
}

}  // namespace

bool prepare(FileJob &j) {
  const struct stat &st = j.e.st;
  int *param = j.param;
  // Only the single-file mode can hand over something that is not a regular
  // file; a fifo, socket or device is never opened, nor given to the engine.
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
    job_log(j, 8, "- %s ... could not scan (not a regular file)\n", j.shown.c_str());
    error_file_num++;
    if (param[P_ALERTCOUNT]) alert_num++;
    block_head(8, j);
    job_output(j, 8, "Result: scan error\n");
    j.cls = SCAN_ERROR;
    j.rec.reason = "not a regular file";
    return true;
  }
  if (param[P_EXECONLY] == 1 && (st.st_mode & 0111) == 0) {
    exclude_file_num++;
    return decided(j, 32, "- %s ... exclude(exec file only)\n", "Result: scan OK (exec file only)\n",
                   "exec file only");
  }
  bool has_incl = include_mask != nullptr && *include_mask;
  bool has_excl = exclude_mask != nullptr && *exclude_mask;
  if (has_incl || has_excl) {
    bool excluded = has_incl ? match2(j.e.path, include_mask, 0) == 0
                             : match2(j.e.path, exclude_mask, 0) == 1;
    if (excluded) {
      exclude_file_num++;
      return decided(j, 32, "- %s ... exclude\n", "Result: scan OK (pattern match exclude)\n",
                     "pattern match exclude");
    }
  }
  if (j.max != 0 && st.st_size > j.max) {
    exclude_file_num++;
    return decided(j, 32, "- %s ... exclude (file size exclude)\n",
                   "Result: scan OK (file size exclude)\n", "file size exclude");
  }
  if (param[P_UPDATEONLY] == 1 && st.st_ctime < param[P_CHECKTIME])
    return decided(j, 64, "- %s ... scan OK (check time exclude)\n",
                   "Result: scan OK (check time exclude)\n", "check time exclude");
  if (param[P_MD5CHECK] == 1) {
    unsigned char digest[16];
    if (file_digest(j, digest) == 0) {
      md5hex(digest, j.hex);
      j.have_digest = true;
      job_log(j, 512, "- %s(MD5:%32s)\n", j.shown.c_str(), j.hex);
      if (CDBcheck(j.hex) == 0) {
        job_log(j, 64, "- %s ... scan OK (cache hit)\n", j.shown.c_str());
        block_head(256, j);
        job_output(j, 256, "Result: scan OK (cache hit:%32s)\n", j.hex);
        j.cls = SCAN_CLEAN;
        j.rec.reason = "cache hit";
        return true;
      }
    }
  }
  return false;
}

namespace {

// Makes the ASCII name: a hard link to the open file itself where /proc
// shows it, else to the walked name (the identity is checked afterwards).
int link_open_file(FileJob &j, int fd, int dfd, const char *name) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), dfd, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno == EEXIST) return -1;
  return linkat(j.e.dirfd, j.e.name, dfd, name, j.e.link ? AT_SYMLINK_FOLLOW : 0);
}

int link_error(FileJob &j, const char *name, int err) {
  job_log(j, 1, "error: link error fname=%s (%s)\n", ShownName(name).c_str(), strerror(err));
  j.local = "link error";
  j.rc = -1;
  return FORM_LOCAL;
}

// The file under an ASCII name: a hard link in TempPath to the walked file,
// made (and later removed) through the directories' descriptors. The file is
// held open meanwhile: its identity after the link is gone again (a link
// changes the status-change time) is what an action compares with.
int make_link(FileJob &j, std::string *path) {
  const char *dir = TempPath ? TempPath : "/tmp";
  UniqueFd dfd = open_dir(dir);
  const int dir_err = errno;
  struct stat seen;
  UniqueFd fd = open_regular_at(j.e.dirfd, j.e.name, j.e.link, &seen);
  if (fd.ok() && !same_file(seen, j.e.st)) {
    fd.reset();
    errno = ESTALE;
  }
  const int open_err = errno;
  for (int attempt = 0; attempt < 8; attempt++) {
    std::string name = "fs_" + random_suffix();
    std::string tmp = std::string(dir) + "/" + name;
    if (tmp.size() >= FC_PATH_MAX) return link_error(j, tmp.c_str(), ENAMETOOLONG);
    job_log(j, 8192, "[DEBUG] scan(j): %s\n", ShownName(tmp.c_str()).c_str());
    j.link_slot = claim_link_slot(tmp);
    FileId made;
    if (j.link_slot < 0 || !dfd.ok() || !fd.ok() ||
        link_open_file(j, fd.get(), dfd.get(), name.c_str()) < 0 ||
        name_id(dfd.get(), name.c_str(), &made) != 0) {
      int err = j.link_slot < 0 ? EMFILE : !dfd.ok() ? dir_err : !fd.ok() ? open_err : errno;
      release_link_slot(j.link_slot);
      if (err == EEXIST) continue;  // a name drawn twice: draw again
      return link_error(j, tmp.c_str(), err);
    }
    j.link_dir = std::move(dfd);
    j.file = std::move(fd);
    j.link_name = name;
    j.link_id = made;
    j.link_seen = seen;
    *path = tmp;
    return FORM_PATH;
  }
  return link_error(j, j.e.path, EEXIST);
}

// The open file for the engine (given as it is, or with pass off, streamed):
// opened by its name, and only when it is the file the walk saw.
int open_for_engine(FileJob &j, bool pass) {
  j.file = open_regular_at(j.e.dirfd, j.e.name, j.e.link, &j.scanned);
  if (j.file.ok() && !same_file(j.scanned, j.e.st)) {
    j.file.reset();
    errno = ESTALE;
  }
  if (!j.file.ok()) {
    job_log(j, 1, "error: %s\n", sys_message("open", j.shown.c_str(), errno).c_str());
    j.local = "open error";
    j.rc = -1;
    return FORM_LOCAL;
  }
  if (pass) return FORM_FILDES;
  int flags = fcntl(j.file.get(), F_GETFL);
  if (flags >= 0) fcntl(j.file.get(), F_SETFL, flags & ~O_NONBLOCK);
  return FORM_STREAM;
}

// The path the engine may open itself: one that fits its command line and
// leads to the walked file (clamd does not follow a final link, so a link
// the walk follows is given as its target's path); empty when there is
// none, the file having been renamed or replaced since, or a directory on
// the way swapped.
std::string engine_path(FileJob &j) {
  std::string path = j.e.path;
  if (j.e.link) {
    char *real = realpath(j.e.path, nullptr);
    if (real == nullptr) return std::string();
    path = real;
    free(real);
  }
  if (path[0] != '/' || path.size() > CLAMD_PATH_MAX || !is_ascii_name(path.c_str()))
    return std::string();
  if (stat(path.c_str(), &j.scanned) != 0 || !same_file(j.scanned, j.e.st)) return std::string();
  return path;
}

// One request, waited for.
int send_now(FileJob &j, int form, const std::string &path) {
  const int t = j.param[P_MAXSCANTIME];
  switch (form) {
    case FORM_PATH:
      return clamd_scan(SocketPath, path.c_str(), &j.results, t, j.max);
    case FORM_FILDES:
      return clamd_scan_fildes(SocketPath, j.file.get(), &j.results, t, j.max);
    case FORM_STREAM:
      return clamd_scan_fd(SocketPath, j.file.get(), &j.results, t, static_cast<unsigned long>(j.max));
    default:
      return -1;
  }
}

void engine_request(FileJob &j) {
  std::string path;
  int form = engine_form(j, &path);
  if (form != FORM_LOCAL) j.rc = send_now(j, form, path);
  engine_done(j);
  if (refusal_retry(j)) {
    j.rc = send_now(j, FORM_FILDES, path);
    engine_done(j);
  }
}

}  // namespace

int engine_form(FileJob &j, std::string *path) {
  const int mode = j.param[P_PASSFD];
  if (mode == PASSFD_ALWAYS) return open_for_engine(j, true);
  if (!is_ascii_name(j.e.path)) return make_link(j, path);
  *path = engine_path(j);
  if (!path->empty()) return FORM_PATH;
  return open_for_engine(j, mode != PASSFD_NO);
}

bool refusal_retry(FileJob &j) {
  if (j.retried || j.rc >= 0 || j.local || !j.results.accessDenied ||
      j.param[P_PASSFD] != PASSFD_AUTO)
    return false;
  j.retried = true;
  // The engine's user may not read the file; we opened it, so we hand it over.
  job_log(j, 8192, "[DEBUG] engine refused access, descriptor passed: %s\n", j.shown.c_str());
  clamd_cleanup_results(&j.results);
  memset(&j.results, 0, sizeof(j.results));
  return open_for_engine(j, true) == FORM_FILDES;
}

void engine_done(FileJob &j) {
  if (!j.link_name.empty()) {
    // Only our own link goes, never a name put in its place meanwhile.
    unlink_link_at(j.link_dir.get(), j.link_name.c_str(), j.link_id);
    release_link_slot(j.link_slot);
    j.link_name.clear();
    j.link_dir.reset();
    if (fstat(j.file.get(), &j.scanned) != 0) j.scanned = j.link_seen;
  }
  j.file.reset();
}

void filecheck_cleanup(void) {
  for (LinkSlot &l : link_slots) {
    if (!l.live) continue;
    unlink(l.path);
    l.live = 0;
  }
}

int file_check_now(const WalkEntry &e, int *param, off_t max) {
  check_stop();
  FileCounter++;
  FileJob j(e, param, max, false);
  if (ShowLevel & 8) guruguru(FileCounter, j.shown.c_str());
  scan_file_num++;
  if (!prepare(j)) {
    j.to_engine = true;
    engine_request(j);
  }
  finish(j);
  return j.cls;
}
