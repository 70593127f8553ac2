// Process-wide log channel: one append-mode file, or syslog when the report
// file name is "syslog". Every message carries a category mask and is written
// only when it shares a bit with LogLevel.
#include "log.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include <cstdarg>
#include <ctime>

FILE *OrnixLog = nullptr;
int LogLevel = 0;
const char *TimeFormat = "%H:%M:%S";
const char *DateFormat = "%Y/%m/%d";
int SyslogFacility = LOG_USER | LOG_NOTICE;
int SystemCounter = 0;

const CODE facilitynames[] = {
    {"auth", 32},    {"authpriv", 80}, {"cron", 72},    {"daemon", 24},   {"ftp", 88},
    {"kern", 0},     {"lpr", 48},      {"mail", 16},    {"mark", 192},    {"news", 56},
    {"security", 32}, {"syslog", 40},  {"user", 8},     {"uucp", 64},     {"local0", 128},
    {"local1", 136}, {"local2", 144},  {"local3", 152}, {"local4", 160},  {"local5", 168},
    {"local6", 176}, {"local7", 184},  {nullptr, -1},
};

const CODE prioritynames[] = {
    {"alert", 1}, {"crit", 2},  {"debug", 7},   {"emerg", 0}, {"err", 3},  {"error", 3},
    {"info", 6},  {"none", 16}, {"notice", 5},  {"panic", 0}, {"warn", 4}, {"warning", 4},
    {nullptr, -1},
};

int name2val(const CODE *table, const char *name) {
  const CODE *c = table;
  while (c->c_name != nullptr && (name == nullptr || strcasecmp(c->c_name, name) != 0)) c++;
  return c->c_val > 0 ? c->c_val : 0;
}

void set_syslog_facility(const char *facility, const char *priority) {
  SyslogFacility = name2val(facilitynames, facility) | name2val(prioritynames, priority);
}

int OpenLog(const char *fname, const LogSettings &settings) {
  TimeFormat = settings.time_format;
  DateFormat = settings.date_format;

  FILE *fp = nullptr;
  if (fname != nullptr && strcasecmp(fname, "syslog") == 0) {
    set_syslog_facility(settings.facility, settings.priority);
    openlog("Ornix", LOG_PID, name2val(facilitynames, settings.facility));
  } else {
    if (fname == nullptr) return -1;
    int fd = open_log_file(fname);
    if (fd < 0) return -1;
    fp = fdopen(fd, "a");
    if (fp == nullptr) {
      close(fd);
      return -1;
    }
  }
  OrnixLog = fp;
  return 0;
}

int open_log_file(const char *fname) {
  // Never through a symbolic link planted where the log should be, and only
  // a regular file: a fifo or device there would block or swallow the log.
  int fd = open(fname, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int e = S_ISREG(st.st_mode) ? errno : EINVAL;
    close(fd);
    errno = e;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

int OpenLogFd(int fd, const LogSettings &settings) {
  FILE *fp = fdopen(fd, "a");
  if (fp == nullptr) {
    close(fd);
    return -1;
  }
  TimeFormat = settings.time_format;
  DateFormat = settings.date_format;
  OrnixLog = fp;
  return 0;
}

int CheckLogLevel(int level) {
  if (LogLevel == 0 || (level & LogLevel) == 0) return -1;
  return 0;
}

void MsgLog(FILE *log, int level, const char *fmt, ...) {
  if (CheckLogLevel(level) != 0) return;
  va_list ap;
  va_start(ap, fmt);
  if (log == nullptr) {
    vsyslog(SyslogFacility, fmt, ap);
    va_end(ap);
    return;
  }
  time_t now = time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  char date[128], tod[128];
  if (strftime(date, sizeof date, DateFormat ? DateFormat : "%Y/%m/%d", &tm_now) == 0) date[0] = '\0';
  if (strftime(tod, sizeof tod, TimeFormat ? TimeFormat : "%H:%M:%S", &tm_now) == 0) tod[0] = '\0';
  fprintf(log, "[%s %s]-[%d.%d] ", date, tod, static_cast<int>(getpid()), SystemCounter & 0xFFFFFF);
  vfprintf(log, fmt, ap);
  va_end(ap);
  fflush(log);
}

void MsgPut(FILE *log, int level, const char *fmt, ...) {
  if (CheckLogLevel(level) != 0) return;
  va_list ap;
  va_start(ap, fmt);
  if (log == nullptr) {
    vsyslog(SyslogFacility, fmt, ap);
  } else {
    vfprintf(log, fmt, ap);
    fflush(log);
  }
  va_end(ap);
}

void CloseLog(FILE *fp) {
  if (fp != nullptr) fclose(fp);
}
