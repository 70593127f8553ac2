// Process-wide log channel: an append-mode file or syslog, with category masks.
#ifndef ORNIX_LOG_H
#define ORNIX_LOG_H

#include <cstdio>

// Name/value pair of the syslog name tables.
struct CODE {
  const char *c_name;
  int c_val;
};

extern FILE *OrnixLog;           // open log file; null means syslog
extern int LogLevel;             // mask of enabled message categories
extern const char *TimeFormat;   // strftime format of the time in the prefix
extern const char *DateFormat;   // strftime format of the date in the prefix
extern int SyslogFacility;       // facility | priority for syslog writes
extern int SystemCounter;

extern const CODE facilitynames[];
extern const CODE prioritynames[];

// What the log takes from its owner when it opens; the defaults are those of
// an unconfigured system. Names are those of syslog.conf ("local0", "info").
struct LogSettings {
  const char *time_format = "%H:%M:%S";
  const char *date_format = "%Y/%m/%d";
  const char *facility = "user";
  const char *priority = "notice";
};

// fname "syslog" (any case) selects syslog; anything else is a file opened for
// appending. -1 when the file cannot be opened: the channel is then unchanged,
// the formats are already those of the settings.
// A file is opened never through a symbolic link and must be a regular file.
int OpenLog(const char *fname, const LogSettings &settings);
// The descriptor OpenLog writes a file through (O_CLOEXEC, O_NOFOLLOW,
// regular), or -1 with errno set.
int open_log_file(const char *fname);
// Makes the open descriptor fd the log (it is closed on failure): a file
// checked through its descriptor is never looked up by name again.
int OpenLogFd(int fd, const LogSettings &settings);
int CheckLogLevel(int level);
void MsgLog(FILE *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void MsgPut(FILE *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void CloseLog(FILE *fp);
void set_syslog_facility(const char *facility, const char *priority);
int name2val(const CODE *table, const char *name);

#endif
