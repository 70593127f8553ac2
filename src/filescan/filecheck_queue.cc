// Several files' engine requests in flight (ScanJobs above 1). The walk goes
// on while the engine works; each file waits in the queue, its lines held,
// until every file before it is finished, so the log, the report, the mail,
// the actions and the cache see the files in walk order as with one request
// at a time. One thread: the requests are driven by one poll (clamav_jobs.h),
// so the counters, the log and the stop flag need no lock.
//
// A queued file keeps what it needs to the end: its path and name copied,
// its directory duplicated (the walk may have closed its own), its open
// file while the engine reads it, its ASCII link in a slot the signal path
// knows. A request the engine failed in a way that calls for the health
// check holds back new requests until that check has run in its turn.
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <memory>
#include <string>

#include "clamav_jobs.h"
#include "filecheck.h"
#include "filecheck_internal.h"
#include "ornix_common.h"
#include "ornixfs.h"

namespace {

clamd_jobs *in_flight = nullptr;
int limit = 1;
std::deque<std::unique_ptr<FileJob>> queue;
// Files decided without the engine wait too; past this many the walk waits.
constexpr size_t kQueueMax = 256;

void send_later(FileJob &j, int form, const std::string &path) {
  const int t = j.param[P_MAXSCANTIME];
  if (form == FORM_PATH)
    j.request = clamd_jobs_scan(in_flight, path.c_str(), t, j.max);
  else if (form == FORM_FILDES)
    j.request = clamd_jobs_scan_fildes(in_flight, j.file.get(), t, j.max);
  else if (form == FORM_STREAM)
    j.request = clamd_jobs_scan_fd(in_flight, j.file.get(), t);
  else
    j.request = -1;  // a failure of our own: the file is finished
}

// The file's answer taken (waiting for it); a refusal asked again.
void take(FileJob &j) {
  j.rc = clamd_jobs_collect(in_flight, j.request, &j.results);
  j.request = -1;
  engine_done(j);
  if (refusal_retry(j)) send_later(j, FORM_FILDES, std::string());
}

bool health_check_due(const FileJob &j) {
  return j.to_engine && j.request < 0 && !j.local &&
         (j.results.error == CLAMD_AVE_PROBLEM || j.results.error == CLAMD_AVE_SELECT_ERROR ||
          j.results.error == CLAMD_SCAN_TIMED_OUT);
}

// Takes every answer there is, without waiting; true when one of them
// calls for the engine health check.
bool harvest() {
  if (clamd_jobs_poll(in_flight, 0) < 0) check_stop();
  bool due = false;
  for (auto &j : queue) {
    if (j->request >= 0 && clamd_jobs_done(in_flight, j->request) == 1) take(*j);
    due = due || health_check_due(*j);
  }
  return due;
}

void finish_head() {
  std::unique_ptr<FileJob> j = std::move(queue.front());
  queue.pop_front();
  while (j->request >= 0) take(*j);
  release_lines(*j);
  finish(*j);
}

void finish_ready() {
  while (!queue.empty() && queue.front()->request < 0) finish_head();
}

// A free place for one more request: whichever request ends first frees
// it (the files before it keep their turn in the queue), so one slow file
// at the head does not leave the engine's other workers idle.
void wait_for_place() {
  for (;;) {
    if (harvest()) pipeline_flush();   // the health check a failure calls for, in turn
    finish_ready();
    if (clamd_jobs_active(in_flight) < limit) return;
    if (clamd_jobs_poll(in_flight, -1) < 0) check_stop();
  }
}

}  // namespace

void pipeline_open(void) {
  int n = config_num("filescan.options", "ScanJobs");
  if (n > CLAMD_JOBS_MAX) {
    MsgLog(OrnixLog, 1, "[Warning] ScanJobs=%d is more than %d: %d used\n", n, CLAMD_JOBS_MAX,
           CLAMD_JOBS_MAX);
    n = CLAMD_JOBS_MAX;
  }
  if (n <= 1 || in_flight != nullptr) return;
  in_flight = clamd_jobs_open(SocketPath, n);
  if (in_flight == nullptr) {
    MsgLog(OrnixLog, 1, "[Warning] ScanJobs=%d: no room for the requests, one at a time\n", n);
    return;
  }
  limit = n;
}

void pipeline_flush(void) {
  while (!queue.empty()) finish_head();
}

void pipeline_close(void) {
  pipeline_flush();
  clamd_jobs_close(in_flight);
  in_flight = nullptr;
  limit = 1;
}

int file_check(const WalkEntry &e, int *param, off_t max) {
  if (in_flight == nullptr) return file_check_now(e, param, max);
  check_stop();
  FileCounter++;
  auto j = std::make_unique<FileJob>(e, param, max, true);
  j->hold = true;
  if (ShowLevel & 8) guruguru(FileCounter, j->shown.c_str());
  scan_file_num++;
  if (!prepare(*j)) {
    j->to_engine = true;
    // A new request waits for the health check a failed one calls for, and
    // for a free place.
    wait_for_place();
    j->own_dir.reset(fcntl(e.dirfd, F_DUPFD_CLOEXEC, 0));
    if (!j->own_dir.ok()) pipeline_flush();   // out of descriptors: this one alone
    j->e.dirfd = j->own_dir.ok() ? j->own_dir.get() : e.dirfd;
    std::string path;
    int form = engine_form(*j, &path);
    send_later(*j, form, path);
    if (!j->own_dir.ok()) {
      queue.push_back(std::move(j));
      pipeline_flush();
      return 0;
    }
  }
  queue.push_back(std::move(j));
  harvest();
  finish_ready();
  while (queue.size() > kQueueMax) finish_head();
  return 0;
}
