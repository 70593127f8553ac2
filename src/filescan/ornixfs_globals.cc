// Process-wide run settings and counters of ornixfs, shared by the walk,
// the actions, the cache and the report writer.
#include <cstdio>
#include <sys/types.h>

#include "ornixfs.h"

char program[1024];
char OrnixBinPath[1024];
uid_t ExecUid;

int dir_scan_flag = -1;
int symlink_scan_flag = -1;
int updateonly_flag = -1;
int executableonly_flag = -1;
int md5check_flag = -1;
int scan_level = -1;
int action = -1;
int ShowLevel = -1;
int alert_count_flag = 0;
const char *save_dir = nullptr;
const char *cache_dir = nullptr;
char *report_address = nullptr;
const char *send_mail = nullptr;
const char *output_path = nullptr;
const char *logfile_path = nullptr;
const char *config_path = nullptr;
const char *include_mask = nullptr;
const char *exclude_mask = nullptr;
const char *SocketPath = nullptr;
const char *TempPath = nullptr;
int MyExec = 0;
FILE *Report = nullptr;
FILE *Mail = nullptr;
char mail_path[8192];
char stdin_copy_path[1024];
const char *act_str[] = {"none", "delete", "move", "alert"};

int scan_dir_num, scan_file_num, alert_num, infected_file_num, protected_file_num;
int error_file_num, delete_file_num, move_file_num, exclude_file_num;
int FileCounter, ClamdRestartCount;
