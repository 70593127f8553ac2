// Process-wide log channel: one append-mode file, or syslog when the report
// file name is "syslog". Every message carries a category mask and is written
// only when it shares a bit with LogLevel.
#include "log.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

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
    fp = fopen(fname, "ae");
    if (fp == nullptr) return -1;
  }
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
