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
void stop_engine(void);
[[noreturn]] void abort_exit(int sig);

// Report output and the result mail.
int check_level(int level);
void Output(FILE *fp, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void guruguru(int counter, const char *path);
void erase_line(void);

// filecheck.cc: the walk and the per-file pipeline
void FileCheck(int num, char **paths, time_t check_time);
int FileCheck2(char *path, time_t check_time);

#endif
