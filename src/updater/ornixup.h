// The updater: fetches the update list and newer modules through wget,
// verifies them, refreshes the engine's signatures through ornix_avupdate.sh,
// installs the modules with a backup of the old ones and runs a fetched
// post-update script.
#ifndef ORNIXUP_H
#define ORNIXUP_H

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

#define ORNIXUP_TITLE "Ornix Updater"
#define ORNIXUP_VERSION "6.0.7.1"
#define ORNIXUP_LIST_NAME "NQZD52"
#define ORNIXUP_SERVER_DIR "ibm/power"

// Exit statuses of the program.
enum {
  ORNIXUP_EXIT_OK = 0,
  ORNIXUP_EXIT_MISSING_ARG = 1,
  ORNIXUP_EXIT_BAD_OPTION = 2,
  ORNIXUP_EXIT_BAD_CONFIG = 3,
  ORNIXUP_EXIT_LOG = 4,
  ORNIXUP_EXIT_BUSY = 5,   // another run held the lock for the whole wait
  ORNIXUP_EXIT_NO_USER = 6,
  ORNIXUP_EXIT_NOT_ROOT = 11,
};

// One line of the update list.
struct MOD {
  char name[32];    // plain file name, at most 31 characters
  char build[16];   // letters, digits, dots and dashes, at most 15
  int size;         // bytes
  char md5[33];     // 32 lowercase hex digits
  int download;     // 0 not fetched, 1 fetched and verified, 2 rejected
};
constexpr int MOD_LIST_MAX = 31;

// Everything the updater reads from the configuration, read in one place.
struct UpdaterSettings {
  std::string temp_path;
  std::string keep_silent;
  int command_timeout = 300;
  bool engine_update = true;
  bool reload_application = true;
  // downloads
  std::string wget_path;
  std::string update_host;
  int update_port = 80;
  std::string update_protocol;
  bool show_output = false;
  std::string extra_wget_options;
  std::string proxy_server;
  int proxy_port = 8080;
  std::string proxy_user;
  std::string proxy_password;
  std::string s25r_url;
  std::string s25r_file;
  std::string public_key;   // minisign public key file; empty: lists unsigned
  // handed to ornix_avupdate.sh through its environment
  std::string socket_file;
  std::string engine_config;
  std::string engine_update_server;
  int engine_update_port = 80;
  std::string dns_database_info;
  std::string scripted_updates;
  std::string append_file;
};

// Process-wide state of a run.
extern int cons_out;
extern const char *option_url;
extern int force;
extern int reload;
extern volatile sig_atomic_t ExitStatus;
extern std::string update_server;
extern int update_port;
extern std::string OrnixBinPath;
extern std::vector<MOD> mod_list;
extern int post_install_shell_exec;

// Reads every setting of the run; the catalogue supplies the defaults.
void read_settings(UpdaterSettings *s);

// Waits of the updater in milliseconds, short under test.
int lock_wait_ms(void);
int term_grace_ms(void);

// Runs program with argv (argv[0] included) without a shell: standard output
// goes through a pipe and is echoed line by line in console mode. A command
// still running after timeout seconds is stopped (its process group gets
// SIGTERM, then SIGKILL) and reaped. max_file_size >= 0 bounds every file
// the command writes (RLIMIT_FSIZE). Returns the exit status, or -1 when it
// could not be started, was killed by a signal or ran out of time.
int command2(const char *program, const std::vector<std::string> &argv, int timeout,
             long long max_file_size = -1);

// Reports what the signal handlers noted (they only set flags).
void report_signals(void);
// Handlers of SIGPIPE and SIGALRM: they only record the signal for report_signals.
void cmd_exit(int sig);
void time_over_exit(int sig);

// Parses one update-list line (line end removed) into rec. Returns 0, or -1
// with a static reason in *why.
int parse_list_line(const char *line, size_t len, MOD *rec, const char **why);
// Reads the list file into mods; refused lines are logged and skipped.
// Returns 0, or -1 when the file cannot be read.
int read_update_list(const char *path, std::vector<MOD> *mods);

// The first half of a run: list, modules, white list, post-update files.
int ornix_update(const UpdaterSettings &s, int timeout);

// The last step: backup, checks, atomic installation, post-update script.
int reload_modules(int timeout);
int file_check(const char *path, int size);
int exec_check(const MOD &mod, int timeout);

// The program: the whole run, returns the exit status.
int ornixup_main(int argc, char **argv);

#endif
