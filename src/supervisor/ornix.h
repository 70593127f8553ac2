// The engine supervisor: writes clamd's configuration from the suite's own
// settings, rebuilds the groups' users databases, starts clamd as the
// configured user and waits for its socket; "stop" ends it through its pid file.
#ifndef ORNIX_SUPERVISOR_H
#define ORNIX_SUPERVISOR_H

#include <sys/types.h>

#include <cstdio>
#include <string>

#define ORNIX_TITLE "Ornix for IBM Power Systems(Linux)"
#define ORNIX_VERSION "6.0.7.1"

// Exit statuses of the program.
enum {
  ORNIX_EXIT_OK = 0,
  ORNIX_EXIT_MISSING_ARG = 1,
  ORNIX_EXIT_BAD_OPTION = 2,
  ORNIX_EXIT_BAD_CONFIG = 3,
  ORNIX_EXIT_LOG = 4,
  ORNIX_EXIT_NO_USER = 6,
  ORNIX_EXIT_FORK = 7,
  ORNIX_EXIT_EXEC = 8,
  ORNIX_EXIT_NOT_UP = 9,
  ORNIX_EXIT_WAIT = 10,
  ORNIX_EXIT_NOT_ROOT = 11,
  ORNIX_EXIT_SIGNAL = 12,   // stop: the signal could not be delivered
};

// Syslog facility name -> the name clamd's LogFacility expects.
struct facility_code {
  const char *c_name;
  const char *c_val;
};
extern const facility_code facilitynames2[];

// The table's value for name (ignoring case), or null when it has no row.
const char *name2facility(const char *name);

// Everything the engine configuration file is made of.
struct EngineSettings {
  std::string temp_path;      // TemporaryDirectory
  std::string socket_file;    // LocalSocket
  std::string pid_file;       // PidFile
  std::string symlink;        // FollowFileSymlinks, FollowDirectorySymlinks
  std::string archive_scan;   // ScanArchive
  int max_recursion = 0;      // MaxRecursion
  std::string log_path;       // LogFile, or the syslog variant
  std::string facility;       // LogFacility in the syslog variant
  std::string append_file;    // extra settings copied as they stand; empty: none
};

// Number of engine keys the supervisor supplies only when AppendFile lacks them.
constexpr int ENGINE_PRESENCE_FLAGS = 10;

// Writes the configuration lines to out in their fixed order. Returns 0, or -1
// on a write error (errno set). A missing AppendFile is logged and skipped.
int emit_engine_conf(FILE *out, const EngineSettings &s);

// Writes the file at path through a temporary name in the same directory,
// flushed to disk and renamed into place, so clamd never reads half a file.
// Returns 0, or -1 with a message naming the operation, path and error in *err.
int write_engine_conf(const char *path, const EngineSettings &s, std::string *err);

// The "stop" mode: signals the engine named by pid_file when that is our
// engine. Prints and logs the outcome, returns the exit status.
// config_file: the engine configuration the engine was started with
// (its "--config-file=" argument tells our engine from a stranger).
int stop_engine_mode(const char *pid_file, const char *ave_exe, const char *config_file);

// Probes the engine socket up to attempts times, pausing pause_ms between
// failed probes. Returns 0 when the engine answered, -1 otherwise.
int wait_for_engine(const char *socket_file, int attempts, int pause_ms);

// Writes the last `lines` lines of the log file at path to stderr.
void show_log_tail(const char *path, int lines);

// Forks and executes the engine with its single "--config-file=" argument;
// waits for the started process to return, at most return_limit_s seconds.
// Returns 0, or the exit status of the failure (fork, exec, wait, and
// ORNIX_EXIT_NOT_UP when the engine program itself ended in failure).
int run_engine(const char *ave_exe, const char *config_arg, int return_limit_s);

// Rebuilds the users database of every group that names one.
void build_users_databases(void);

// The program: the whole run, returns the exit status.
int ornix_main(int argc, char **argv);

#endif
