// Run settings, counters and entry points shared by the modules of ornixfs.
#ifndef ORNIXFS_H
#define ORNIXFS_H

#include <cstdio>
#include <ctime>
#include <sys/types.h>

#include "clamav_api.h"

#define ORNIXFS_TITLE "Ornix File scanner"
#define ORNIXFS_VERSION "6.0.7.1"

extern char program[1024];
extern char OrnixBinPath[1024];
extern uid_t ExecUid;

// Run settings: -1 is unset until the options or the configuration fill them.
extern int dir_scan_flag;
extern int symlink_scan_flag;
extern int updateonly_flag;
extern int executableonly_flag;
extern int md5check_flag;
extern int scan_level;
extern int action;
extern int ShowLevel;
extern int alert_count_flag;
extern const char *save_dir;
extern const char *cache_dir;
extern char *report_address;
extern const char *send_mail;
extern const char *output_path;
extern const char *logfile_path;
extern const char *config_path;
extern const char *include_mask;
extern const char *exclude_mask;
extern const char *SocketPath;
extern const char *TempPath;
extern int MyExec;
extern FILE *Report;
extern FILE *Mail;
extern char mail_path[8192];
extern AVEAPI_INFO AVE_info;
extern const char *act_str[];

// ScanCounters: the run's counters, added to by the walk and the actions.
extern int scan_dir_num;
extern int scan_file_num;
extern int alert_num;
extern int infected_file_num;
extern int protected_file_num;
extern int error_file_num;
extern int delete_file_num;
extern int move_file_num;
extern int exclude_file_num;
extern int FileCounter;
extern int ClamdRestartCount;

// ornixfs.cc
int ornixfs_main(int argc, char **argv);

// ornixfs_exit.cc: the ends of a run other than its normal end.
// SIGINT, SIGTERM and SIGPIPE only record themselves; SIGSEGV ends at once.
// The clean-ups of a stopped run (temporary names of the pipeline and the
// actions, the engine this run shares); set before the handlers.
void set_exit_cleanups(void (*pipeline)(void), void (*actions)(void), void (*engine)(void));
void install_signal_handlers(void);
// Ends the run as stopped (exit 10) when a stop signal has been recorded:
// called between files and after every wait.
void check_stop(void);
// Removes this run's temporary files, leaves the engine, exits 10.
[[noreturn]] void abort_exit(int sig);

// ornixfs_engine.cc: the engine, shared with the other runs using it.
// Joins the runs using the engine and starts it through the supervisor when
// it is down and auto_start is 1 (user: the supervisor's -u). Exits 97 when
// it cannot be brought up, 10 when stopped by a signal meanwhile.
void ensure_engine(int auto_start, const char *user, int quiet);
// Runs "<bindir>/ornix [-u user] -c <conf>" without a shell and waits for it
// (bounded; a stop signal ends it and the run). 0 when it exited 0.
int start_supervisor(const char *user);
// Records an engine restarted by this run when the one it replaced was a
// run's own.
void engine_restarted(void);
// Leaves the engine: stops it when no other run is using it and a run
// started it. Idempotent; every end of a run goes through it.
void engine_leave(void);
// Stops the engine named by the pid file, when it is the configured engine
// program running with our engine configuration.
void stop_engine(void);

// ornixfs_run.cc: the stages of the run after the settings are settled.
// The copy of standard input of the single-file mode (empty when none).
extern char stdin_copy_path[1024];
void settings_dump(const char *mscond);
void write_summary(time_t begin_time, time_t end_time);
// Moves the check time of the update-only filter to begin_time, only after
// a run in which every selected file got a verdict.
void write_start_time_file(const char *path, time_t begin_time, int engine_down);
// Sends the result mail when due (mscond not "alert", or alerts counted),
// then closes and deletes the mail file either way.
void finish_mail(const char *mscond, const char *from_address, char **recipients);
// Single-file mode after start-up; returns the exit status.
int single_file_run(const char *path, time_t check_time);

// Report output and the result mail.
int check_level(int level);
void Output(FILE *fp, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void guruguru(int counter, const char *path);
void erase_line(void);
char spinner_char(int counter);
// Writes the fixed head of the result mail and the body's opening lines;
// 0, or -1 when the stream reported a write error.
int write_mail_head(FILE *fp, const char *subject, const char *from, const char *to,
                    time_t now);

// ornixfs_util.cc: self-contained pieces of the run.
#define ORNIXFS_MAX_RECIPIENTS 32
// Splits a comma-separated list in place into at most max entries followed
// by a null slot (recipients must hold max + 1 pointers); returns the count.
int split_recipients(char *list, char **recipients, int max);
// "HH:MM:SS" of t (local time, or UTC when utc is non-zero) into out[9].
void time_of_day_text(time_t t, int utc, char out[9]);
// The directory of the executable from argv[0] (and the working directory
// when argv[0] is relative); -1 when it does not fit in cap bytes.
int bin_path_from_argv0(const char *argv0, char *out, size_t cap);
// The part of argv[0] after its last "/".
const char *base_name(const char *argv0);

// filecheck.cc: the walk and the per-file pipeline
// -1 when the engine did not answer: nothing was scanned.
int FileCheck(int num, char **paths, time_t check_time);
int FileCheck2(char *path, time_t check_time);

#endif
