// The updater's run: options, configuration, log, the one-run lock, then
// download, user switch, engine signatures and installation.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "account.h"
#include "config.h"
#include "log.h"
#include "ornix_common.h"
#include "ornix_lib.h"
#include "ornixup.h"

namespace {

struct Options {
  const char *user = nullptr;
  const char *config = ORNIX_DEFAULT_CONFIG;
  const char *log = nullptr;
  int quiet = -1;   // -1: KeepSilent decides
};

void print_banner(void) {
  printf("%s Ver.%s  Build:%s %s\n", ORNIXUP_TITLE, ORNIXUP_VERSION, __DATE__, __TIME__);
  printf("%s\n", ORNIX_RIGHTS);
}

void print_usage(const char *prog) {
  printf("usage: %s [-u user][-c configration_file_path][-U url][-l log_file_path][-q | -V][-f][-r][-h | -v]\n",
         prog);
  printf("           -u ... exec user\n");
  printf("           -q ... quiet mode.\n");
  printf("           -V ... verbose mode.\n");
  printf("           -U ... Update URL.\n");
  printf("           -f ... force updete mode.\n");
  printf("           -r ... reload application.\n");
  printf("           -c ... set config file path.\n");
  printf("           -l ... set log file path.\n");
  printf("           -v ... Version display.\n");
  printf("           -h ... This message output.\n");
}

// Returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char **argv, const char *prog, Options *o) {
  opterr = 0;
  optind = 0;
  int c;
  while ((c = getopt(argc, argv, "b:U:u:c:l:hvqVfrd")) != -1) {
    switch (c) {
      case 'b': return build_check(ORNIXUP_VERSION, optarg);
      case 'U': option_url = optarg; break;
      case 'u': o->user = optarg; break;
      case 'c': o->config = optarg; break;
      case 'l': o->log = optarg; break;
      case 'q': o->quiet = 1; break;
      case 'V': o->quiet = 0; break;
      case 'f': force = 1; break;
      case 'r': reload = 1; break;
      case 'd': break;
      case 'h':
        print_banner();
        print_usage(prog);
        return ORNIXUP_EXIT_OK;
      case 'v':
        print_banner();
        return ORNIXUP_EXIT_OK;
      default:
        if (optopt != 0 && strchr("bUucl", optopt) != nullptr) {
          fprintf(stderr, "%s: %c parameters are insufficient\n", prog, optopt);
          return ORNIXUP_EXIT_MISSING_ARG;
        }
        fprintf(stderr, "%s: Invalid option %c\n", prog, optopt != 0 ? optopt : '-');
        return ORNIXUP_EXIT_BAD_OPTION;
    }
  }
  return -1;
}

int read_configuration(const char *path) {
  if (LoadConfigFile(path) != 0) return -1;
  return 0;
}




void install_handlers(void) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &old);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = cmd_exit;
  sigaction(SIGPIPE, &sa, nullptr);
  sa.sa_handler = time_over_exit;
  sigaction(SIGALRM, &sa, nullptr);
}

// One run at a time: the program directory itself is locked, so runs with
// different configurations still never interleave on the same modules.
int take_run_lock(UniqueFd *lock) {
  lock->reset(open(OrnixBinPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!lock->ok()) {
    MsgLog(OrnixLog, 1, "Could not open %s for the run lock: %s\n", OrnixBinPath.c_str(),
           strerror(errno));
    return -1;
  }
  int wait_ms = lock_wait_ms();
  for (int waited = 0;; waited += 100) {
    if (flock(lock->get(), LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (waited >= wait_ms) break;
    struct timespec ts = {0, 100 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  MsgLog(OrnixLog, 1, "Another ornixup run holds the lock on %s; gave up after %d ms\n",
         OrnixBinPath.c_str(), wait_ms);
  if (cons_out) printf("Another ornixup run holds the lock on %s\n", OrnixBinPath.c_str());
  return -1;
}

void export_engine_settings(const UpdaterSettings &s, const char *config) {
  setenv("ORNIX_CONFIG", config, 1);
  setenv("ORNIX_SOCKET_FILE", s.socket_file.c_str(), 1);
  setenv("ORNIX_ENGINE_CONFIG", s.engine_config.c_str(), 1);
  setenv("ORNIX_ENGINE_UPDATE_SERVER", s.engine_update_server.c_str(), 1);
  setenv("ORNIX_ENGINE_UPDATE_PORT", std::to_string(s.engine_update_port).c_str(), 1);
  setenv("ORNIX_DNS_DATABASE_INFO", s.dns_database_info.c_str(), 1);
  setenv("ORNIX_SCRIPTED_UPDATES", s.scripted_updates.c_str(), 1);
  setenv("ORNIX_FRESHCLAM_APPEND", s.append_file.c_str(), 1);
  setenv("ORNIX_TEMP_PATH", s.temp_path.c_str(), 1);
}

void engine_update(int timeout) {
  std::string program = OrnixBinPath + "/ornix_avupdate.sh";
  std::string host_arg = "--update-host=" + update_server;
  std::string port_arg = update_port != 80 ? "--update-port=" + std::to_string(update_port) : "";
  MsgLog(OrnixLog, 128, "ClamAV update ....\n");
  MsgLog(OrnixLog, 128, "command: %s %s %s\n", program.c_str(), host_arg.c_str(), port_arg.c_str());
  if (cons_out) {
    puts("ClamAV update ....");
    printf("command: %s %s %s output...\n-------------------\n", program.c_str(), host_arg.c_str(),
           port_arg.c_str());
  }
  std::vector<std::string> argv = {program, host_arg};
  if (!port_arg.empty()) argv.push_back(port_arg);
  int rc = command2(program.c_str(), argv, timeout);
  report_signals();
  if (cons_out) puts("-------------------");
  if (rc != 0) {
    MsgLog(OrnixLog, 1, "ClamAV update failed(error=%d)\n", rc);
    if (cons_out) printf("ClamAV update failed(error=%d)\n", rc);
  } else {
    MsgLog(OrnixLog, 128, "ClamAV update successfully\n");
    if (cons_out) puts("ClamAV update successfully");
  }
  if (cons_out) puts("");
}

int open_log(const char *prog, const Options &opt, const Account &acc) {
  LogLevel = config_num("updater.report", "ReportLevel");
  const char *log_path =
      opt.log != nullptr ? opt.log
                         : config_text("updater.report", "ReportFileName");
  int rc = -1;
  if (strcasecmp(log_path, "syslog") == 0) {
    rc = OpenReportLog(log_path, "updater.report");
  } else {
    int fd = open_shared_log(prog, log_path, acc);
    if (fd >= 0) rc = OpenReportLogFd(fd, "updater.report");
  }
  if (rc != 0) {
    fprintf(stderr, "%s logfile(%s) could not open\n", prog, log_path);
    return -1;
  }
  return 0;
}

void announce(void) {
  MsgLog(OrnixLog, 128, "Ornix Updater starting...\n");
  MsgLog(OrnixLog, 128, "%s Ver.%s\n", ORNIXUP_TITLE, ORNIXUP_VERSION);
  MsgLog(OrnixLog, 128, "%s\n", ORNIX_RIGHTS);
  if (cons_out) {
    puts("Ornix Updater starting...");
    printf("%s Ver.%s\n", ORNIXUP_TITLE, ORNIXUP_VERSION);
    printf("%s\n", ORNIX_RIGHTS);
    fflush(stdout);
  }
}

}  // namespace

int ornixup_main(int argc, char **argv) {
  const char *prog = argc > 0 && argv[0] != nullptr ? argv[0] : "ornixup";
  if (const char *slash = strrchr(prog, '/')) prog = slash + 1;
  openlog(prog, LOG_PID | LOG_CONS, LOG_USER);
  SyslogFacility = LOG_USER | LOG_NOTICE;
  LogLevel = 8191;
  OrnixBinPath = program_dir(argc > 0 ? argv[0] : nullptr);
  if (OrnixBinPath.empty()) {
    // Modules are installed beside the program: with no directory there is
    // nowhere safe to put them.
    fprintf(stderr, "%s: could not find the program directory\n", prog);
    return 3;
  }
  install_handlers();

  Options opt;
  int rc = parse_options(argc, argv, prog, &opt);
  if (rc >= 0) return rc;

  if (read_configuration(opt.config) != 0) {
    fprintf(stderr, "This configuration is invalid, Could not execute.\n");
    return ORNIXUP_EXIT_BAD_CONFIG;
  }
  const char *user = opt.user != nullptr ? opt.user : config_text("aveserver", "ExecUser");
  Account acc;
  if (find_account(user, &acc) != 0) return ORNIXUP_EXIT_NO_USER;
  if (getuid() != 0 && getuid() != acc.uid) {
    printf("%s: If you want to change the user, you should execute it as root. !\n", prog);
    return ORNIXUP_EXIT_NOT_ROOT;
  }
  if (open_log(prog, opt, acc) != 0) return ORNIXUP_EXIT_LOG;

  UpdaterSettings s;
  read_settings(&s);
  cons_out = opt.quiet >= 0 ? !opt.quiet : strcasecmp(s.keep_silent.c_str(), "no") == 0;
  announce();

  UniqueFd lock;
  if (take_run_lock(&lock) != 0) return ORNIXUP_EXIT_BUSY;
  set_hostname();
  int timeout = s.command_timeout;

  if (ornix_update(s, timeout) < 0 && cons_out) puts("Ornix update modules download failed");
  report_signals();

  if (getuid() != acc.uid && switch_user(acc) != 0) {
    MsgLog(OrnixLog, 1, "could not switch to user %s: %s\n", acc.name.c_str(), strerror(errno));
    if (cons_out) printf("could not switch to user %s: %s\n", acc.name.c_str(), strerror(errno));
    return ORNIXUP_EXIT_OK;
  }
  if (s.engine_update || reload) {
    export_engine_settings(s, opt.config);
    engine_update(timeout);
  }
  if (s.reload_application || reload) reload_modules(timeout);

  MsgLog(OrnixLog, 128, "Ornix updater exited\n");
  if (cons_out) puts("Ornix updater exited");
  return ORNIXUP_EXIT_OK;
}
