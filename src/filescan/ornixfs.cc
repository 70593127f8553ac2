// ornixfs: the on-demand file scanner's command line, settings and run order.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "cache_generation.h"
#include "clamav_api.h"
#include "filecheck.h"
#include "filecheck_util.h"
#include "ornix_common.h"
#include "ornixfs.h"
#include "ornixfs_json.h"
#include "protocol.h"
#include "safe_file.h"

namespace {

const char kAddressPattern[] = "^.*@.*\\..*";
const char kOptions[] = "+:rRsSuUxXkKm:CDMd:n:qL:a:A:o:c:l:I:E:fb:vh";

// Local run state of the main routine.
struct RunState {
  int mode = 0;  // 0 normal, 1 single file, 2 single file copied from stdin
  const char *start_time_file = nullptr;
  time_t start_time = 0;
  int auto_start = 1;
  const char *mscond = nullptr;
  bool mscond_from_option = false;
  bool address_from_option = false;
  bool save_dir_from_option = false;
  const char *from_address = nullptr;
  const char *subject = nullptr;
  char *recipients[ORNIXFS_MAX_RECIPIENTS + 1] = {};
};

void print_ver(void) {
  printf("%s Ver.%s  Build:%s %s\n", ORNIXFS_TITLE, ORNIXFS_VERSION, __DATE__, __TIME__);
  printf("%s\n", ORNIX_RIGHTS);
}

void print_usage(void) {
  printf("usage: %s [options] check_file_or_directory\n", program);
  fputs("           -r/R ... scan subdirectories ON/OFF\n"
        "           -s/S ... scan symlink files ON/OFF\n"
        "           -u/U ... scan only the update files ON/OFF\n"
        "           -x/X ... scan only the executable files ON/OFF\n"
        "           -k/K ... scan only no cache files ON/OFF\n"
        "           -E <mask1>:<mask2>:... exclude mask\n"
        "           -I <mask1>:<mask2>:... include mask\n"
        "           -m <object> ... action object match following\n"
        "                1 : infected object only\n"
        "                2 : protected object only\n"
        "                4 : suspicious object only\n"
        "                8 : error object only\n"
        "           -C ... check only\n"
        "           -D ... delete infected file\n"
        "           -M ... move infected file\n"
        "           -d <directory_path> ... move to infected file with full path\n"
        "           -L <report_level> ... set report level\n"
        "           -n <display_level> ... set display level\n"
        "           -a/A <mail_address> ... result send to email\n"
        "           -o <filename> ... output scan result\n"
        "           -c <filename> ... set config file path.\n"
        "           -l <filename> ... set log file path.\n"
        "           -f ... File scanning mode.\n"
        "           -q ... quiet mode\n"
        "           -v ... Version display.\n"
        "           -h ... This message output.\n",
        stdout);
}

bool is_yes(const char *v) { return v != nullptr && strcasecmp(v, "yes") == 0; }
bool non_empty(const char *v) { return v != nullptr && v[0] != '\0'; }

// A number option whose argument is no number ("1x", "", beyond an int)
// would otherwise be read as some other number.
int number_option(int letter, const char *arg) {
  int n;
  if (parse_num(arg, &n) == 0) return n;
  fprintf(stderr, "%s: Invalid number for option %c: %s\n", program, letter, arg);
  exit(12);
}

// A mask that does not compile would exclude every file (or none) in silence.
void check_mask_option(int letter, const char *mask) {
  std::string err = mask_error(mask, 0);
  if (err.empty()) return;
  fprintf(stderr, "%s: Invalid mask for option %c: \"%s\" is not a regular expression (%s)\n", program,
          letter, mask, err.c_str());
  exit(12);
}

void check_mask_setting(const char *key, const char *mask) {
  std::string err = mask_error(mask, 0);
  if (err.empty()) return;
  MsgLog(OrnixLog, 1, "%s of [filescan.object] in %s: \"%s\" is not a regular expression (%s)\n", key,
         config_path, mask, err.c_str());
  fprintf(stderr, "%s: %s of [filescan.object] in %s: \"%s\" is not a regular expression (%s)\n", program,
          key, config_path, mask, err.c_str());
  fputs("This configuration is invalid, Could not execute.\n", stderr);
  exit(13);
}

// Options fill the run settings first; what they leave unset comes later
// from the configuration. Exits on -b, -v, -h and on option errors.
void parse_options(int argc, char **argv, RunState &rs) {
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, kOptions)) != -1) {
    switch (c) {
      case 'r': dir_scan_flag = 1; break;
      case 'R': dir_scan_flag = 0; break;
      case 's': symlink_scan_flag = 1; break;
      case 'S': symlink_scan_flag = 0; break;
      case 'u': updateonly_flag = 1; break;
      case 'U': updateonly_flag = 0; break;
      case 'x': executableonly_flag = 1; break;
      case 'X': executableonly_flag = 0; break;
      case 'k': md5check_flag = 1; break;
      case 'K': md5check_flag = 0; break;
      case 'm': scan_level = number_option(c, optarg); break;
      case 'C': action = 0; break;
      case 'D': action = 1; break;
      case 'M': action = 2; break;
      case 'd':
        action = 2;
        save_dir = optarg;
        rs.save_dir_from_option = true;
        break;
      case 'n': ShowLevel = number_option(c, optarg); break;
      case 'q': ShowLevel = 0; break;
      case 'L': LogLevel = number_option(c, optarg); break;
      case 'a':
      case 'A':
        report_address = optarg;
        send_mail = "yes";
        rs.address_from_option = true;
        if (c == 'A') {
          rs.mscond = "alert";
          rs.mscond_from_option = true;
        }
        break;
      case 'o': output_path = optarg; break;
      case 'c': config_path = optarg; break;
      case 'l': logfile_path = optarg; break;
      case 'I': include_mask = optarg; break;
      case 'E': exclude_mask = optarg; break;
      case 'f':
        rs.mode = 1;
        LogLevel = 0;
        ShowLevel = 0;
        scan_level = 0;
        break;
      case 'b': exit(build_check(ORNIXFS_VERSION, optarg));
      case 'v': print_ver(); exit(0);
      case 'h': print_ver(); print_usage(); exit(0);
      case ':':
        fprintf(stderr, "%s: %c parameters are insufficient\n", program, optopt);
        exit(12);
      default:
        fprintf(stderr, "%s: Invalid option %c\n", program, optopt);
        exit(12);
    }
  }
  check_mask_option('I', include_mask);
  check_mask_option('E', exclude_mask);
}

void read_configuration(void) {
  OrnixLog = nullptr;
  Report = nullptr;
  if (config_path == nullptr) config_path = ORNIX_DEFAULT_CONFIG;
  if (LoadConfigFile(config_path) != 0) {
    fputs("This configuration is invalid, Could not execute.\n", stderr);
    exit(13);
  }
}

void open_log(const RunState &rs) {
  if (LogLevel == 0) LogLevel = config_num("filescan.report", "ReportLevel");
  if (logfile_path == nullptr)
    logfile_path = config_text("filescan.report", "ReportFileName");
  if (OpenReportLog(logfile_path, "filescan.report") != 0) {
    fprintf(stderr, "%s logfile(%s) could not open\n", program, logfile_path);
    exit(14);
  }
  if (rs.mode == 0) {
    MsgLog(OrnixLog, 2, "%s Ver.%s starting...\n", ORNIXFS_TITLE, ORNIXFS_VERSION);
    MsgLog(OrnixLog, 2, "%s\n", ORNIX_RIGHTS);
  }
}

void settle_settings(RunState &rs) {
  SocketPath = config_text("aveserver", "SocketFile");
  TempPath = config_text("path", "TempPath");
  int n = snprintf(mail_path, sizeof mail_path, "%s/.ornixfs.%d", TempPath,
                   static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof mail_path) mail_path[0] = '\0';

  if (dir_scan_flag < 0) dir_scan_flag = config_yesno("filescan.options", "Recursion");
  if (symlink_scan_flag < 0) symlink_scan_flag = config_yesno("filescan.options", "Symlink");
  if (updateonly_flag < 0) updateonly_flag = config_yesno("filescan.options", "UpdateOnly");
  if (executableonly_flag < 0)
    executableonly_flag = config_yesno("filescan.options", "ExecutableOnly");
  if (md5check_flag < 0) md5check_flag = config_yesno("filescan.options", "CacheCheck");
  if (scan_level < 0) scan_level = config_num("filescan.object", "ScanLevel");
  if (ShowLevel < 0) ShowLevel = config_num("filescan.display", "ShowLevel");
  if (action < 0) {
    const char *a = config_text("filescan.object", "MatchAction");
    action = 0;
    if (a != nullptr && strcasecmp(a, "delete") == 0) action = 1;
    if (a != nullptr && strcasecmp(a, "move") == 0) action = 2;
  }
  if (!rs.save_dir_from_option)
    save_dir = config_text("filescan.options", "SaveDirectory");
  cache_dir = config_text("filescan.options", "CacheDirectory");
  if (output_path == nullptr) output_path = config_text("filescan.display", "OutputFileName");
  if (exclude_mask == nullptr) {
    exclude_mask = config_text("filescan.object", "ExcludeMask");
    check_mask_setting("ExcludeMask", exclude_mask);
  }
  if (include_mask == nullptr) {
    include_mask = config_text("filescan.object", "IncludeMask");
    check_mask_setting("IncludeMask", include_mask);
  }
  if (!rs.address_from_option) send_mail = config_text("filescan.options", "SendMail");

  if (is_yes(send_mail) && !rs.address_from_option) {
    const char *addr = config_text("filescan.options", "ReportAddress");
    if (non_empty(addr)) {
      report_address = strdup(addr);  // the recipient split writes into it
      if (report_address == nullptr) send_mail = "no";
    } else {
      send_mail = "no";
    }
  }
  if (is_yes(send_mail) && match(report_address, kAddressPattern, 2) == 0)
    MsgLog(OrnixLog, 1, "[Warning] Report email address format is incorrect\n");

  rs.from_address = config_text("general", "NotifyFromAddress");
  rs.subject = config_text("filescan.options", "MailSubject");

  const char *answer = "yes";
  const char *v = nullptr;
  if (GetConfigValue("filescan.options", "RemoveErrorsFromAlerts", STR, &v) == 0)
    answer = v != nullptr ? v : "";
  else if (GetConfigValue("filescan.options", "AlertWithoutError", STR, &v) == 0)
    answer = (v != nullptr && strcasecmp(v, "no") == 0) ? "yes" : "no";
  alert_count_flag = is_yes(answer) ? 0 : 1;

  if (non_empty(include_mask) && non_empty(exclude_mask)) exclude_mask = nullptr;
}

// The account whose name the supervisor is started with.
std::string exec_user_name(uid_t &uid_out) {
  std::string name;
  uid_out = ExecUid;
  setpwent();
  while (struct passwd *pw = getpwent()) {
    if (pw->pw_uid == ExecUid) {
      name = pw->pw_name;
      break;
    }
  }
  endpwent();
  // Without an account entry the numeric id is the only name we have.
  if (name.empty()) name = std::to_string(static_cast<unsigned long>(ExecUid));
  return name;
}

void start_engine(RunState &rs) {
  uid_t uid;
  std::string user = exec_user_name(uid);
  rs.auto_start = config_yesno("aveserver", "AVEAutoStart");
  MsgLog(OrnixLog, 8192, "[DEBUG] AV Engine auto start status: %d, socket_dir=%s, uid=%d\n",
         rs.auto_start, SocketPath, static_cast<int>(uid));
  ensure_engine(rs.auto_start, user.c_str(), rs.mode != 0);
}

void open_report_and_mail(RunState &rs) {
  Report = stdout;
  if (rs.mode != 0) return;
  if (non_empty(output_path)) {
    FILE *fp = fopen(output_path, "ae");
    if (fp != nullptr) {
      MsgLog(OrnixLog, 2, "scan result output file open(%s)\n", output_path);
      Report = fp;
    } else {
      MsgLog(OrnixLog, 1, "scan result output file open error(%s) to STDOUT\n", strerror(errno));
    }
  }
  if (!is_yes(send_mail)) return;
  int fd = -1;
  if (mail_path[0] == '\0')
    errno = ENAMETOOLONG;
  else
    fd = create_private_file(mail_path, O_RDWR);
  FILE *fp = fd >= 0 ? fdopen(fd, "w+") : nullptr;
  if (fp == nullptr) {
    MsgLog(OrnixLog, 1, "scan result mail error(%s)\n", strerror(errno));
    if (fd >= 0) {
      close(fd);
      unlink(mail_path);
    }
    return;
  }
  Mail = fp;
  set_hostname();
  write_mail_head(Mail, rs.subject, rs.from_address, report_address, time(nullptr));
}

void read_start_time(RunState &rs) {
  const char *f = config_text("filescan.options", "CheckStartTimeFile");
  rs.start_time_file = f;
  if (f == nullptr || f[0] == '\0') return;
  FILE *fp = fopen(f, "re");
  if (fp == nullptr) return;
  char line[128];
  if (fgets(line, sizeof line, fp) != nullptr) rs.start_time = atoi(line);
  fclose(fp);
}

void seed_random(void) {
  srand(static_cast<unsigned>(time(nullptr)));
  int n = rand() % 10 + 1;
  srand(static_cast<unsigned>(n) * static_cast<unsigned>(getpid()));
}

}  // namespace

int ornixfs_main(int argc, char **argv) {
  RunState rs;
  const char *argv0 = argc > 0 ? argv[0] : "ornixfs";
  snprintf(program, sizeof program, "%s", base_name(argv0));
  ExecUid = getuid();
  if (bin_path_from_argv0(argv0, OrnixBinPath, sizeof OrnixBinPath) != 0) {
    if (errno == ENAMETOOLONG)
      fprintf(stderr, "%s: program directory of %s does not fit in %zu bytes\n", program, argv0,
              sizeof OrnixBinPath - 1);
    else
      fprintf(stderr, "%s: could not find the program directory of %s\n", program, argv0);
    return 12;
  }
  set_exit_cleanups(filecheck_cleanup, move_cleanup, engine_leave);
  install_signal_handlers();
  if (nice(1) == -1) {
    // A failed priority change is harmless; the scan simply runs at the old one.
  }
  // The walk holds a descriptor per directory level, so the soft limit (1,024
  // under cron) would cap the depth a hostile tree needs to hide below; every
  // wait uses poll, so descriptors past 1,024 are safe. Deeper still is an error.
  struct rlimit nofile;
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
  }
  MyExec = 0;
  ClamdRestartCount = 0;

  parse_options(argc, argv, rs);
  if (rs.address_from_option && match(report_address, kAddressPattern, 2) == 0) {
    fprintf(stderr, "%s: Email address required for 'a/A' option\n", program);
    return 12;
  }
  read_configuration();
  open_log(rs);
  settle_settings(rs);
  run_report_open(rs.mode);

  int npaths = argc - optind;
  char **paths = argv + optind;
  if (npaths <= 0) {
    puts("missing file argument");
    run_report_end(98);
    return 98;
  }
  start_engine(rs);
  open_report_and_mail(rs);
  read_start_time(rs);
  seed_random();
  cache_generation_begin();

  if (rs.mode == 0) {
    Output(Report, 2, "%s Ver.%s starting...\n", ORNIXFS_TITLE, ORNIXFS_VERSION);
    Output(Report, 2, "%s\n", ORNIX_RIGHTS);
    if (get_clamd_version(SocketPath, &AVE_info) == -1)
      MsgLog(OrnixLog, 1, "get_clamd_version error\n");
    if (!rs.mscond_from_option)
      rs.mscond = config_text("filescan.options", "SendMailCondition");
    settings_dump(rs.mscond);
  }
  time_t begin_time = time(nullptr);
  scan_dir_num = scan_file_num = alert_num = 0;

  if (rs.mode != 0) {
    int rc = single_file_run(paths[0], rs.start_time);
    run_report_end(rc);
    return rc;
  }

  const int engine_down = FileCheck(npaths, paths, rs.start_time) != 0;
  check_stop();
  engine_leave();
  if (engine_down)
    Output(Report, 1, "Error! clamd not running(%s): nothing scanned\n", SocketPath);
  write_start_time_file(rs.start_time_file, begin_time, engine_down);
  MsgLog(OrnixLog, 2, "File scan done\n");
  time_t end_time = time(nullptr);
  write_summary(begin_time, end_time);
  check_stop();   // a report reader gone by now makes this an interrupted run
  finish_mail(rs.mscond, rs.from_address, rs.recipients);
  check_stop();
  MsgLog(OrnixLog, 2, "File scanning exit\n");
  if (engine_down) {
    // Nothing was scanned: no caller may take this run for a clean one.
    fprintf(stderr, "%s: clamd not running(%s), nothing scanned\n", program, SocketPath);
    run_report_end(97);
    return 97;
  }
  run_report_end(alert_num == 0 ? 0 : 1);
  if (alert_num == 0) return 0;
  fprintf(stderr, "%d\n", alert_num);
  return 1;
}
