// The engine's answer to a file: its result class, its log and report lines,
// its counters, the action on it, the engine health check after a failure,
// and the cache insertion of a clean file.
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

const char reason_text[10][32] = {"OK",         "timeout",    "abend", "stat error",
                                  "size over",  "scan error", "select error", "", "", ""};


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
int incomplete_class(const AVEAPI_RESULTS &results, const char *path, int *param, off_t max,
                     int cls, std::string &why) {
  if (results.reachedArchiveMaxSize) {
    MsgLog(OrnixLog, 8, "- %s ... archive size limit over\n", path);
    MsgLog(OrnixLog, 16, "warning: reached archive maximum size! (%lu)\n",
           static_cast<unsigned long>(max));
    cls = SCAN_ARCHIVE_LIMIT;
    why = "archive size limit";
  }
  if (results.reachedArchiveMaxRecursion) {
    MsgLog(OrnixLog, 8, "- %s ... suspicious archive\n", path);
    MsgLog(OrnixLog, 16, "warning: reached archive maximum recursion level! (%d)\n",
           param[P_MAXRECURSION]);
    cls = SCAN_SUSPICIOUS;
    why = "archive recursion limit";
  }
  if (results.reachedArchiveMaxRatio) {
    MsgLog(OrnixLog, 8, "- %s ... reached archive maximum ratio\n", path);
    MsgLog(OrnixLog, 16, "warning: reached archive maximum ratio %d", param[P_MAXRATIO]);
    cls = SCAN_ARCHIVE_LIMIT;
    why = "archive ratio limit";
  }
  if (results.archiveEncrypted) {
    MsgLog(OrnixLog, 8, "- %s ... encrypted archive\n", path);
    MsgLog(OrnixLog, 16, "warning: encrypted archive!\n");
    protected_file_num++;
    cls = SCAN_PROTECTED;
    why = "encrypted archive";
  }
  if (results.archiveUnsupported) {
    MsgLog(OrnixLog, 8, "- %s ... unsupported archive format or method\n", path);
    cls = SCAN_ARCHIVE_LIMIT;
    why = "unsupported archive format or method";
  }
  if (results.limitExceeded) {
    MsgLog(OrnixLog, 8, "- %s ... engine limit reached(%s)\n", path,
           results.alertList && results.alertList->string ? results.alertList->string : "");
    cls = SCAN_ARCHIVE_LIMIT;
    why = "engine limit reached";
  }
  if (results.error == CLAMD_AVE_PROBLEM) {
    MsgLog(OrnixLog, 8, "- %s ... AV engine abend\n", path);
    MsgLog(OrnixLog, 16, "warning: clamd error!\n");
    cls = SCAN_ERROR;
    why = "engine abend";
  }
  MsgLog(OrnixLog, 16, "warning: not scanned completely\n");
  if (cls == SCAN_CLEAN) {
    cls = SCAN_ARCHIVE_LIMIT;
    why = "not scanned completely";
  }
  return cls;
}

// clamd reads no file from just below 2 GiB on, whatever its MaxFileSize; an
// engine not told AlertExceedsMax then answers OK. Such an OK is no verdict.
constexpr off_t kEngineFileLimit = static_cast<off_t>(2047) << 20;

int beyond_engine_limit(const char *path, off_t size) {
  MsgLog(OrnixLog, 8, "- %s ... engine limit reached(file size %lld)\n", path,
         static_cast<long long>(size));
  MsgLog(OrnixLog, 16, "warning: not scanned completely\n");
  return SCAN_ARCHIVE_LIMIT;
}

int reason_class(const AVEAPI_RESULTS &results, int cls) {
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

// The file as an action must find it again: the one the engine read.
void act_if(int bit, FileJob &j) {
  if (!(scan_level & bit)) return;
  ScannedFile f;
  f.path = j.e.path;
  f.dirfd = j.e.dirfd;
  f.name = j.e.name;
  f.st = j.scanned.st_ino != 0 ? j.scanned : j.e.st;
  f.detections = j.vname.c_str();
  ActionOutcome o;
  object_action(f, j.param[P_MOVEMODE], j.param[P_MOVEOWNER], &o);
  if (o.action == nullptr) return;
  j.rec.action = o.action;
  j.rec.action_done = o.done;
  if (!o.done) j.rec.action_error = o.err == ESTALE ? "changed during scan" : strerror(o.err);
  j.rec.moved_to = o.where;
}

// Result block and counters of a file whose class is not clean.
void report_class(FileJob &j) {
  if (j.param[P_ALERTCOUNT]) alert_num++;
  block_head(8, j);
  switch (j.cls) {
    case SCAN_INFECTED:
      if (!j.param[P_ALERTCOUNT]) alert_num++;
      Output(Report, 8, "Result: infected! >>> %s\n", j.vname.c_str());
      act_if(1, j);
      break;
    case SCAN_PROTECTED:
      Output(Report, 8, "Result: encrypted archive\n");
      act_if(2, j);
      break;
    case SCAN_ERROR:
      error_file_num++;
      Output(Report, 8, "Result: scan error\n");
      act_if(8, j);
      break;
    case SCAN_SUSPICIOUS:
      if (!j.param[P_ALERTCOUNT]) alert_num++;
      Output(Report, 8, "Result: suspicious archive\n");
      act_if(4, j);
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

void failed_request(FileJob &j) {
  int reason = static_cast<int>(j.results.error);
  const char *why = j.local ? j.local : (reason >= 0 && reason < 10 && reason_text[reason][0])
                                            ? reason_text[reason]
                                            : "unknown";
  MsgLog(OrnixLog, 8, "- %s ... scan error\n", j.shown.c_str());
  if (CheckLogLevel(16) == 0)
    MsgLog(OrnixLog, 16, "  Date: %s %s    Size: %s byte\n", j.texts.date(), j.texts.time(),
           j.texts.size());
  MsgLog(OrnixLog, 16, "error(%s): scan failed %s!!\n", why, j.shown.c_str());
  j.cls = SCAN_ERROR;
  if (!j.local) j.cls = reason_class(j.results, j.cls);
  j.rec.reason = j.results.accessDenied && !j.local ? "access denied" : why;
  // A failure that was a stop request is no verdict on the file.
  check_stop();
}

void detection(FileJob &j) {
  j.cls = SCAN_INFECTED;
  infected_file_num++;
  MsgLog(OrnixLog, 8, "- %s ... infected!!!\n", j.shown.c_str());
  for (AVEAPI_ALERT *a = j.results.alertList; a != nullptr; a = a->next) {
    j.vname = a->string ? a->string : "";
    char *decoded = DecodeHeaderMIME(j.vname.c_str());
    MsgLog(OrnixLog, 8, "  >>> %s\n", decoded ? decoded : j.vname.c_str());
    free(decoded);
  }
}

// The verdict of a scan may be cached only for the contents that were
// digested: the engine read the digested file, and the name still is it.
void cache_clean(FileJob &j) {
  if (!j.have_digest) return;
  if (!same_contents(j.scanned, j.digested) ||
      check_scanned(j.e.dirfd, j.e.name, j.digested) != 0) {
    MsgLog(OrnixLog, 16, "- %s ... changed while scanned, not cached\n", j.shown.c_str());
  } else if (CDBadd(j.hex) == -1) {
    Output(Report, 1, "- %s ... cache append error\n", j.shown.c_str());
  }
}


}  // namespace

void complete(FileJob &j) {
  j.cls = SCAN_CLEAN;
  if (j.rc < 0) failed_request(j);
  if (j.results.notScannedCompletely)
    j.cls = incomplete_class(j.results, j.shown.c_str(), j.param, j.max, j.cls, j.rec.reason);
  const off_t size = (j.scanned.st_ino != 0 ? j.scanned : j.e.st).st_size;
  if (j.rc == 0 && j.cls == SCAN_CLEAN && size > kEngineFileLimit) {
    j.cls = beyond_engine_limit(j.shown.c_str(), size);
    j.rec.reason = "engine limit reached";
  }
  if (!j.local && (j.results.error == CLAMD_AVE_PROBLEM ||
                   j.results.error == CLAMD_AVE_SELECT_ERROR ||
                   j.results.error == CLAMD_SCAN_TIMED_OUT))
    engine_health_check();
  if (j.rc > 0) detection(j);
  if (j.cls != SCAN_CLEAN) {
    report_class(j);
  } else {
    MsgLog(OrnixLog, 64, "- %s ... scan OK\n", j.shown.c_str());
    block_head(256, j);
    Output(Report, 256, "Result: scan OK\n");
    cache_clean(j);
  }
  // An encrypted archive is named by the engine too, without an infection.
  for (AVEAPI_ALERT *a = j.results.alertList; a != nullptr; a = a->next)
    j.rec.detections.push_back(a->string ? a->string : "");
  clamd_cleanup_results(&j.results);
}

void finish(FileJob &j) {
  if (j.to_engine) complete(j);
  j.rec.path = j.e.path;
  j.rec.st = j.e.st;
  j.rec.cls = j.cls;
  if (j.have_digest) memcpy(j.rec.digest, j.hex, sizeof j.rec.digest);
  run_report_file(j.rec);
}

