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
extern const char *ReportSection;
extern int SystemCounter;

extern const CODE facilitynames[];
extern const CODE prioritynames[];

int OpenLog(const char *fname, const char *ss);
int CheckLogLevel(int level);
void MsgLog(FILE *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void MsgPut(FILE *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void CloseLog(FILE *fp);
void set_syslog_facility(const char *ss);
int name2val(const CODE *table, const char *name);

#endif
