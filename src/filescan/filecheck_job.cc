// The record of one file in the pipeline and its lines: written at once, or
// held while the file waits for its turn behind files still in flight.
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

void erase_if_terminal() {
  if (Report == stdout || Report == nullptr) erase_line();
}

std::string vformat(const char *fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&out[0], out.size(), fmt, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

void job_output(FileJob &j, int level, const char *fmt, ...) {
  if (check_level(level) != 0) return;
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  if (j.hold)
    j.held.push_back({HeldLine::kOutput, level, std::move(text)});
  else
    Output(Report, level, "%s", text.c_str());
}

void job_erase(FileJob &j) {
  if (j.hold)
    j.held.push_back({HeldLine::kErase, 0, std::string()});
  else
    erase_if_terminal();
}


void FileTexts::make() {
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

FileJob::FileJob(const WalkEntry &entry, int *p, off_t m, bool queued)
    : e(entry),
      param(p),
      max(m),
      own_path(queued ? entry.path : ""),
      own_name(queued ? entry.name : ""),
      texts(&e.st),
      shown(queued ? own_path.c_str() : entry.path) {
  if (queued) {
    e.path = own_path.c_str();
    e.name = own_name.c_str();
  }
}

void job_log(FileJob &j, int level, const char *fmt, ...) {
  if (CheckLogLevel(level) != 0) return;
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  if (j.hold)
    j.held.push_back({HeldLine::kLog, level, std::move(text)});
  else
    MsgLog(OrnixLog, level, "%s", text.c_str());
}

void release_lines(FileJob &j) {
  j.hold = false;
  for (const HeldLine &l : j.held) {
    if (l.kind == HeldLine::kLog)
      MsgLog(OrnixLog, l.level, "%s", l.text.c_str());
    else if (l.kind == HeldLine::kOutput)
      Output(Report, l.level, "%s", l.text.c_str());
    else
      erase_if_terminal();
  }
  std::vector<HeldLine>().swap(j.held);
}

void block_head(int level, FileJob &j) {
  job_erase(j);
  if (check_level(level) != 0) return;
  job_output(j, level, "\nFile: %s\n", j.shown.c_str());
  job_output(j, level, "Date: %s %s    Size: %s byte\n", j.texts.date(), j.texts.time(),
             j.texts.size());
}

