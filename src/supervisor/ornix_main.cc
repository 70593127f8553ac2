// The supervisor's run: options, configuration, log, user, then either the
// stop of the running engine or the start of a new one.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "account.h"
#include "config.h"
#include "log.h"
#include "ornix.h"
#include "ornix_common.h"
#include "ornix_lib.h"

namespace {

constexpr int kProbeAttempts = 30;
constexpr int kProbePauseMs = 1000;
// clamd returns once its databases are loaded; the official ones take long.
constexpr int kEngineReturnLimit = 300;

struct Options {
  const char *user = nullptr;
  const char *config = ORNIX_DEFAULT_CONFIG;
  const char *log = nullptr;
  bool stop = false;
};

void print_banner(void) {
  printf("%s Ver.%s  Build:%s %s\n", ORNIX_TITLE, ORNIX_VERSION, __DATE__, __TIME__);
  printf("%s\n", ORNIX_RIGHTS);
}

void print_usage(const char *prog) {
  printf("usage: %s [-u user][-c configration_file_path][-l log_file_path][-h | -v]\n", prog);
  printf("           -u ... set execute user.(default=root)\n");
  printf("           -c ... set config file path.\n");
  printf("           -l ... set log file path.\n");
  printf("           -v ... Version display.\n");
  printf("           -h ... This message output.\n");
}

// Parses the options; returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char **argv, const char *prog, Options *o) {
  opterr = 0;
  optind = 0;   // a full restart of getopt's scan
  int c;
  while ((c = getopt(argc, argv, "b:u:c:l:hv")) != -1) {
    switch (c) {
      case 'b': return build_check(ORNIX_VERSION, optarg);
      case 'u': o->user = optarg; break;
      case 'c': o->config = optarg; break;
      case 'l': o->log = optarg; break;
      case 'h':
        print_banner();
        print_usage(prog);
        return ORNIX_EXIT_OK;
      case 'v':
        print_banner();
        return ORNIX_EXIT_OK;
      default:
        if (optopt != 0 && strchr("bucl", optopt) != nullptr) {
          fprintf(stderr, "%s: %c parameters are insufficient\n", prog, optopt);
          return ORNIX_EXIT_MISSING_ARG;
        }
        fprintf(stderr, "%s: Invalid option %c\n", prog, optopt != 0 ? optopt : '-');
        return ORNIX_EXIT_BAD_OPTION;
    }
  }
  // Only a word that is no option argument selects the mode (a user
  // named "stop" given with -u does not).
  o->stop = optind < argc && strcmp(argv[argc - 1], "stop") == 0;
  return -1;
}

int read_configuration(const char *path) {
  MsgLog(OrnixLog, 2, "Read configuration file(%s)\n", path);
  if (LoadConfigFile(path) != 0) return -1;
  return 0;
}




EngineSettings engine_settings(const char *log_path) {
  EngineSettings s;
  s.temp_path = config_text("path", "TempPath");
  s.socket_file = config_text("aveserver", "SocketFile");
  s.pid_file = config_text("aveserver", "PidFile");
  s.symlink = config_text("filescan.options", "Symlink");
  s.archive_scan = config_text("filescan.options", "ArchiveScan");
  s.max_recursion = config_num("filescan.options", "MaxRecursion");
  s.log_path = log_path;
  s.facility = config_text("aveserver", "Facility");
  s.append_file = config_text("aveserver", "AppendFile");
  return s;
}

int start_mode(const char *prog, const Account &acc, const char *log_path) {
  const char *config_file = config_text("aveserver", "ConfigFile");
  const char *socket_file = config_text("aveserver", "SocketFile");
  const char *ave_exe = config_text("aveserver", "AveExe");
  std::string config_arg = std::string("--config-file=") + config_file;

  std::string err;
  if (write_engine_conf(config_file, engine_settings(log_path), &err) != 0) {
    // Without its configuration the engine cannot come up: say why now.
    fprintf(stderr, "%s: could not write engine configuration file(%s): %s\n", prog, config_file,
            err.c_str());
    MsgLog(OrnixLog, 1, "could not write engine configuration file(%s): %s\n", config_file,
           err.c_str());
    MsgLog(OrnixLog, 1, "Ornix AVE could not start!\n");
    return ORNIX_EXIT_NOT_UP;
  }

  MsgLog(OrnixLog, 2, "Ornix starting ...\n");
  MsgLog(OrnixLog, 2, "%s Ver.%s\n", ORNIX_TITLE, ORNIX_VERSION);
  MsgLog(OrnixLog, 2, "%s\n", ORNIX_RIGHTS);

  if (getuid() != acc.uid && switch_user(acc) != 0) {
    int e = errno;
    fprintf(stderr, "%s: could not switch to user %s(uid=%d,gid=%d): %s\n", prog, acc.name.c_str(),
            static_cast<int>(acc.uid), static_cast<int>(acc.gid), strerror(e));
    MsgLog(OrnixLog, 1, "could not switch to user %s: %s\n", acc.name.c_str(), strerror(e));
    return ORNIX_EXIT_NOT_ROOT;
  }

  build_users_databases();

  int rc = run_engine(ave_exe, config_arg.c_str(), kEngineReturnLimit);
  if (rc == ORNIX_EXIT_NOT_UP) {
    MsgLog(OrnixLog, 1, "Ornix AVE could not start!\n");
    if (strcasecmp(log_path, "syslog") != 0) show_log_tail(log_path, 10);
  }
  if (rc != 0) return rc;

  if (wait_for_engine(socket_file, kProbeAttempts, kProbePauseMs) != 0) {
    puts("Error! Ornix AVE not running! see details log file");
    MsgLog(OrnixLog, 1, "Ornix AVE could not start!\n");
    return ORNIX_EXIT_NOT_UP;
  }
  struct stat st;
  if (stat(socket_file, &st) != 0) {
    puts("Error! Ornix AVE not running! see details log file(no socket file)");
    MsgLog(OrnixLog, 1, "Ornix AVE could not start!(no socket file)\n");
    return ORNIX_EXIT_NOT_UP;
  }
  MsgLog(OrnixLog, 1, "Ornix AVE start!\n");
  puts("Ornix AVE now starting!");
  return ORNIX_EXIT_OK;
}

}  // namespace

int ornix_main(int argc, char **argv) {
  const char *prog = argc > 0 && argv[0] != nullptr ? argv[0] : "ornix";
  if (const char *slash = strrchr(prog, '/')) prog = slash + 1;

  // Until the log is open, messages go to syslog under the program's name.
  openlog(prog, LOG_PID, LOG_USER);
  SyslogFacility = LOG_USER | LOG_INFO;
  LogLevel = 8191;

  Options opt;
  int rc = parse_options(argc, argv, prog, &opt);
  if (rc >= 0) return rc;

  MsgLog(OrnixLog, 2, opt.stop ? "Ornix stopped by command...\n" : "Ornix process start ...\n");

  set_hostname();
  if (read_configuration(opt.config) != 0) {
    fprintf(stderr, "This configuration is invalid, Could not execute.\n");
    return ORNIX_EXIT_BAD_CONFIG;
  }

  const char *user = opt.user != nullptr ? opt.user : config_text("aveserver", "ExecUser");
  Account acc;
  if (find_account(user, &acc) != 0) return ORNIX_EXIT_NO_USER;
  if (getuid() != acc.uid && getuid() != 0) {
    printf("%s: If you want to change the user, you should execute it as root. !\n", prog);
    return ORNIX_EXIT_NOT_ROOT;
  }

  const char *log_path = opt.log != nullptr
                             ? opt.log
                             : config_text("aveserver", "ReportFileName");
  // the engine user writes this log too: checked and handed over by descriptor
  int log_rc = -1;
  if (strcasecmp(log_path, "syslog") == 0) {
    log_rc = OpenReportLog(log_path, "aveserver");
  } else {
    int fd = open_shared_log(prog, log_path, acc);
    if (fd >= 0) log_rc = OpenReportLogFd(fd, "aveserver");
  }
  if (log_rc != 0) {
    fprintf(stderr, "%s logfile(%s) could not open\n", prog, log_path);
    return ORNIX_EXIT_LOG;
  }
  if (OrnixLog != nullptr) syslog(LOG_USER | LOG_INFO, "Ornix logging system start...\n");
  LogLevel = config_num("aveserver", "ReportLevel");

  if (opt.stop) {
    const char *pid_file = config_text("aveserver", "PidFile");
    const char *ave_exe = config_text("aveserver", "AveExe");
    const char *config_file = config_text("aveserver", "ConfigFile");
    return stop_engine_mode(pid_file, ave_exe, config_file);
  }
  return start_mode(prog, acc, log_path);
}
